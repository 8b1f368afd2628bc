// The request body from the pieces of the command line.
#include "cli/CliRequestBody.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "cli/CliErrors.h"

namespace {

// -d reads a file as text, as curl does: its line ends are not part of the data.
std::string WithoutLineEnds(std::string Text) {
  std::string Kept;
  Kept.reserve(Text.size());
  for (const char C : Text)
    if (C != '\r' && C != '\n') Kept += C;
  return Kept;
}

std::string PieceBytes(const TCliOptions::TDataPiece& Piece, const TCliFileReader& ReadFile) {
  const bool FromFile = Piece.Value.size() > 1 && Piece.Value[0] == '@' &&
                        (Piece.Kind == TCliOptions::dkText || Piece.Kind == TCliOptions::dkBinary);
  if (!FromFile) return Piece.Value;
  std::string Bytes = ReadFile(Piece.Value.substr(1));
  return Piece.Kind == TCliOptions::dkText ? WithoutLineEnds(std::move(Bytes)) : Bytes;
}

}  // namespace

std::string CliRequestBody(const std::vector<TCliOptions::TDataPiece>& Pieces,
                           const TCliFileReader& ReadFile) {
  std::string Body;
  for (std::size_t I = 0; I < Pieces.size(); ++I) {
    if (I > 0) Body += '&';
    Body += PieceBytes(Pieces[I], ReadFile);
  }
  return Body;
}

std::string CliReadFile(const std::string& Name) {
  const bool FromStdin = Name == "-";
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> File(
      FromStdin ? stdin : std::fopen(Name.c_str(), "rb"),
      FromStdin ? +[](std::FILE*) { return 0; } : +[](std::FILE* F) { return std::fclose(F); });
  if (!File) throw ECliReadError("cannot read '" + Name + "': " + std::strerror(errno));
  std::string Bytes;
  char Block[65536];
  std::size_t Got = 0;
  while ((Got = std::fread(Block, 1, sizeof Block, File.get())) > 0) Bytes.append(Block, Got);
  if (std::ferror(File.get()))
    throw ECliReadError("cannot read '" + Name + "': " + std::strerror(errno));
  return Bytes;
}
