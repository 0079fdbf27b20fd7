# The AES-256 key of the manifest's encrypted proxy passwords: a deployment constant shared with the
# producer of the manifests, set at configure time as 64 hex digits. The key reaches the code only
# masked byte by byte (VEK_PROXY_KEY_MASKED), so its bytes never stand whole in the binary; without
# the definition the code uses the development key below (ProxyKey.h), which the tests encrypt with.
# Include this file from the folder that builds vek_net (or from the tests, which need the key).
set(VEK_PROXY_KEY_HEX "4f1c2a9be07d3865a1f0c4d2e9b73a5610ce84f27b9d03a6e5c1f8247a0b6d93"
    CACHE STRING "AES-256 key of encrypted proxy passwords (64 hex digits)")

get_property(done GLOBAL PROPERTY VEK_PROXY_KEY_APPLIED)
if(NOT done AND TARGET vek_net)
  string(LENGTH "${VEK_PROXY_KEY_HEX}" len)
  if(NOT len EQUAL 64)
    message(FATAL_ERROR "VEK_PROXY_KEY_HEX must hold 64 hex digits")
  endif()
  set(masked "")
  foreach(i RANGE 0 31)
    math(EXPR pos "${i} * 2")
    string(SUBSTRING "${VEK_PROXY_KEY_HEX}" ${pos} 2 byte)
    math(EXPR m "(0x${byte} ^ 0xa7) ^ (${i} * 13 % 256)" OUTPUT_FORMAT HEXADECIMAL)
    list(APPEND masked ${m})
  endforeach()
  list(JOIN masked "," masked)
  target_compile_definitions(vek_net PRIVATE "VEK_PROXY_KEY_MASKED=${masked}")
  set_property(GLOBAL PROPERTY VEK_PROXY_KEY_APPLIED TRUE)
endif()
