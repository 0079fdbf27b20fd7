#!/usr/bin/env bash
# Builds the installer packages of the Windows Installer tests with wixl: small per-machine
# products, each with one file, told apart by product code, upgrade code and version.
# Usage: make_msi.sh <output folder>
set -euo pipefail
out=$1
mkdir -p "$out"
cd "$out"
echo "payload" > payload.txt

# package <file> <product code> <upgrade code> <version> <component guid>
package() {
  local file=$1 product=$2 upgrade=$3 version=$4 component=$5
  cat > "$file.wxs" <<WXS
<?xml version="1.0" encoding="utf-8"?>
<Wix xmlns="http://schemas.microsoft.com/wix/2006/wi">
  <Product Id="$product" Name="Vek MSI test $file" Language="1033" Version="$version"
           Manufacturer="Vek tests" UpgradeCode="$upgrade">
    <Package InstallerVersion="200" Compressed="yes" InstallScope="perMachine"/>
    <Media Id="1" Cabinet="payload.cab" EmbedCab="yes"/>
    <Property Id="VEKTESTNOTE" Value="it's a test"/>
    <Directory Id="TARGETDIR" Name="SourceDir">
      <Directory Id="ProgramFilesFolder">
        <Directory Id="INSTALLDIR" Name="Vek MSI test $file">
          <Component Id="Main" Guid="$component">
            <File Id="Payload" Source="payload.txt"/>
          </Component>
        </Directory>
      </Directory>
    </Directory>
    <Feature Id="Complete" Level="1"><ComponentRef Id="Main"/></Feature>
  </Product>
</Wix>
WXS
  wixl -o "$file.msi" "$file.wxs"
}

package single  '{6B0F6C1E-3C44-4F0B-9E0D-6A1B2C3D4E01}' '{0C1D2E3F-4A5B-4C6D-8E7F-9A0B1C2D3E01}' 1.2.3.4 '{7A1B2C3D-4E5F-4061-8273-94A5B6C7D801}'
package pairone '{6B0F6C1E-3C44-4F0B-9E0D-6A1B2C3D4E02}' '{0C1D2E3F-4A5B-4C6D-8E7F-9A0B1C2D3E02}' 2.0 '{7A1B2C3D-4E5F-4061-8273-94A5B6C7D802}'
package pairtwo '{6B0F6C1E-3C44-4F0B-9E0D-6A1B2C3D4E03}' '{0C1D2E3F-4A5B-4C6D-8E7F-9A0B1C2D3E02}' 2.1.0 '{7A1B2C3D-4E5F-4061-8273-94A5B6C7D803}'
package longver '{6B0F6C1E-3C44-4F0B-9E0D-6A1B2C3D4E04}' '{0C1D2E3F-4A5B-4C6D-8E7F-9A0B1C2D3E04}' 100.200.30000.400000 '{7A1B2C3D-4E5F-4061-8273-94A5B6C7D804}'
