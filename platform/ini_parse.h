// The lookup behind ReadProfileString, as GetPrivateProfileStringA reads an INI text:
// "[section]" lines open sections, "key = value" lines follow; section and key names
// are compared without regard to ASCII letter case; blanks around names and values are
// trimmed; lines whose first non-blank character is ';' are comments (there are no
// comments after a value); a value enclosed in a matching pair of double (or single)
// quotes loses them; CR LF and LF line ends both work; the first section with the name
// is the one searched and the first key in it wins. Pure and linear in the input, so it
// is safe for any bytes (it is a fuzz target).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vplat {

// Looks key up in section of the INI text. True with *pValue set when the key is there
// (possibly with an empty value); false when the section or key is missing.
bool IniFindValue(std::string_view szText, std::string_view szSection, std::string_view szKey,
                  std::string* pValue);

// Every (section, key) of the INI text, in file order, read with the same rules (names
// trimmed; lines outside a section and comment lines skipped).
std::vector<std::pair<std::string, std::string>> IniListKeys(std::string_view szText);

// Copies szValue into szOut as GetPrivateProfileStringA returns it: at most nSize - 1
// characters and a NUL. Returns the number of characters copied (0 when nSize is 0).
size_t IniCopyResult(std::string_view szValue, char* szOut, size_t nSize);

// True when a and b are the same but for the case of ASCII letters (INI section and key
// names, station IDs).
bool SameNoCase(std::string_view a, std::string_view b);

// The default of a lookup as GetPrivateProfileStringA returns it: without its trailing
// blanks ("" for null).
std::string IniDefault(const char* szDefault);

}  // namespace vplat
