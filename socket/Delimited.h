// Fields of delimited text: reply lines split at blanks, URLs at slashes, header lines at colons.
#pragma once

#include <string>
#include <string_view>

// The N-th field (from 1) between single Delimiter characters; adjacent delimiters enclose
// an empty field. Empty when Text is empty, N < 1, or Text has fewer than N-1 delimiters.
std::string DelimitedField(const std::string& Text, char Delimiter, int N);

// The same field as a view into Text, for callers that only look at it (no copy).
std::string_view DelimitedFieldView(std::string_view Text, char Delimiter, int N);

// The 1-based position of the N-th Delimiter, or Text.size() + 1 when the scan reaches the
// end first, and also when the N-th delimiter is the text's last character.
int DelimiterPosition(const std::string& Text, char Delimiter, int N);
