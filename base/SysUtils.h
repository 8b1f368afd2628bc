// Integer/text conversions with the framework's messages.
#pragma once

#include <cstdint>
#include <string>

std::string IntToStr(std::int64_t Value);
// Leading blanks (spaces, tabs) skipped, optional sign, decimal digits, or hexadecimal after
// "$", "0x" or "0X"; nothing may follow. Hexadecimal gives a 32-bit pattern ("$FFFFFFFF" is
// -1). Raises EConvertError "'<S>' is not a valid integer value" otherwise,
// including for an empty text and a value outside 32 bits.
int StrToInt(const std::string& S);
// The value of one hexadecimal digit in either case, or -1 for any other character.
int HexDigit(char C);
// Like StrToInt, but returns Default instead of raising.
int StrToIntDef(const std::string& S, int Default);
