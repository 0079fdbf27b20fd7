#pragma once
// The launcher's Windows Installer questions: the version of an installed product, the product
// code that belongs to an upgrade code, a property inside a package file, and the comparison of
// dotted version numbers. Virtual, so that holders (shared pointers) can put a stand-in in its
// place. Holds no state: any thread may use it. No operation throws; failures are logged.
//
// A version is up to four unsigned decimal parts separated by "."; a part that is empty or not a
// number reads as 0, parts after the fourth are ignored.
#include <windows.h>

#include <cstdint>
#include <string>

class CMsiUtils {
public:
    CMsiUtils() = default;
    virtual ~CMsiUtils() = default;

    // The Value of the package's Property table row; true once the queries have run, the value
    // left empty when one of them failed.
    virtual bool GetMsiProperty(const wchar_t* packagePath, const wchar_t* propertyName, std::wstring& value);
    // The installed product's "VersionString" (at most 19 characters).
    virtual bool GetProductVersion(const wchar_t* productCode, std::wstring& version);
    // -3: no upgrade code; -2: no product of the upgrade code, or its version unreadable; 0 when
    // installed and no version is given; else the installed version against the given one (-1, 0, 1).
    virtual int CompareInstalledVersion(const wchar_t* upgradeCode32, const wchar_t* upgradeCode64,
                                        const wchar_t* version);
    // -1, 0 or 1. An empty version is the smallest; with equal leading parts the version with fewer
    // parts is the smaller (1.2 < 1.2.0).
    virtual int CompareVersions(const wchar_t* a, const wchar_t* b);
    // The one that is not null; with both, the 64-bit one on a 64-bit system (WOW64 process).
    virtual const wchar_t* SelectForBitness(const wchar_t* for32, const wchar_t* for64);
    // The product code of the upgrade code (the last one enumerated), or empty.
    virtual std::wstring GetProductCodeByUpgradeCode(const wchar_t* upgradeCode);
    // count: in the capacity of parts, out the number of parts read.
    virtual bool ParseVersion(const wchar_t* text, std::uint32_t* parts, std::uint32_t& count);

protected:
    // Whether this process runs under WOW64 (tests stand in for either system).
    virtual bool IsWow64();
};
