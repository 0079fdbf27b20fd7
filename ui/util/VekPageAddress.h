#pragma once
// Web addresses of the product's pages carry the user-interface language and country, so that
// the page opens in the language the launcher shows.
#include <string>

namespace vek {

// For a non-empty address: "?" when it has none, then "lg=" (or "&lg=") with the language name
// (string 171, "english" when missing) and "&ct=" with the country name (string 177,
// "united states" when missing). An empty address stays empty.
std::wstring AddPageLanguageParameters(const std::wstring& address);

} // namespace vek
