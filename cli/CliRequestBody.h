// The request body from the pieces of the command line: "-d a -d b" sends "a&b", as curl
// joins them, and "@FILE" reads a file (or standard input for "@-").
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "cli/TCliOptions.h"

// Reads the whole of a file by its name ("-": standard input); raises ECliReadError.
using TCliFileReader = std::function<std::string(const std::string& Name)>;

std::string CliRequestBody(const std::vector<TCliOptions::TDataPiece>& Pieces,
                           const TCliFileReader& ReadFile);

// The reader the program uses: the file's bytes, or standard input's.
std::string CliReadFile(const std::string& Name);
