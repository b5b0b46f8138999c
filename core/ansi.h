// Text encodings. Inside the program every text is held as Windows-1252 bytes
// ("ANSI text", one byte per character), as the inbound files, logs and
// written files are. Conversions happen only at the edges that need another
// encoding: the database (UTF-8), DICOM files and the settings file.
#ifndef NORV_CORE_ANSI_H_
#define NORV_CORE_ANSI_H_

#include <string>
#include <string_view>

namespace norv {

// Windows-1252 to UTF-8. Every byte maps to one character; the five bytes the
// code page leaves undefined map to U+0081, U+008D, U+008F, U+0090, U+009D.
std::string AnsiToUtf8(std::string_view ansi);

// UTF-8 to Windows-1252. Characters without a Windows-1252 form, and invalid
// UTF-8 sequences, become '?'.
std::string Utf8ToAnsi(std::string_view utf8);

// UTF-16LE bytes (no BOM) to Windows-1252, as above. An odd last byte is
// dropped; unpaired surrogates become '?'.
std::string Utf16LeToAnsi(std::string_view bytes);

// True when every byte is below 0x80.
bool IsAscii(std::string_view text);

// True when every character of the Windows-1252 text is also in ISO 8859-1
// (that is, none of the bytes 0x80-0x9F is used).
bool AnsiFitsLatin1(std::string_view ansi);

// ASCII-only case conversion, the way the program upper-cases names and
// suffixes; other bytes pass unchanged.
std::string AsciiUpper(std::string_view text);
std::string AsciiLower(std::string_view text);

}  // namespace norv

#endif  // NORV_CORE_ANSI_H_
