// TChunkedDecoder: the chunked transfer coding taken off byte by byte for the framing and
// run by run for the data, so that a body split anywhere decodes the same.
#include "http/TChunkedDecoder.h"

#include <algorithm>

#include "http/HttpErrors.h"

namespace {

int HexValue(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

bool IsBlank(char C) { return C == ' ' || C == '\t'; }

std::string_view Trimmed(std::string_view S) {
  while (!S.empty() && (IsBlank(S.front()) || S.front() == '\r')) S.remove_prefix(1);
  while (!S.empty() && (IsBlank(S.back()) || S.back() == '\r')) S.remove_suffix(1);
  return S;
}

bool SameNoCase(std::string_view A, std::string_view Lower) {
  if (A.size() != Lower.size()) return false;
  for (std::size_t I = 0; I < A.size(); ++I) {
    const char C = A[I] >= 'A' && A[I] <= 'Z' ? static_cast<char>(A[I] - 'A' + 'a') : A[I];
    if (C != Lower[I]) return false;
  }
  return true;
}

}  // namespace

void TChunkedDecoder::Refuse() { throw EHttpMalformedChunk(); }

std::size_t TChunkedDecoder::Feed(const char* Data, std::size_t Count, const TOutput& Output) {
  std::size_t At = 0;
  while (At < Count && FState != sDone) {
    if (FState == sData) {
      const auto Run = static_cast<std::size_t>(std::min<std::uint64_t>(FLeft, Count - At));
      Output(std::string_view(Data + At, Run));
      At += Run;
      FLeft -= Run;
      if (FLeft == 0) FState = sDataCR;
      continue;
    }
    Step(Data[At++]);
  }
  return At;
}

void TChunkedDecoder::Step(char C) {
  switch (FState) {
    case sSize:
    case sExtension:
    case sSizeLF: StepSizeLine(C); return;
    case sDataCR:
      if (C == '\r')
        FState = sDataLF;
      else if (C == '\n')
        FState = sSize;
      else
        Refuse();
      return;
    case sDataLF:
      if (C != '\n') Refuse();
      FState = sSize;
      return;
    case sTrailerStart:
    case sTrailerLine:
      CountLine();
      if (C == '\r') {
        FTrailerEmptyLine = FState == sTrailerStart;
        FState = sTrailerLF;
      } else if (C == '\n') {
        FState = FState == sTrailerStart ? sDone : sTrailerStart;
      } else {
        FState = sTrailerLine;
      }
      return;
    case sTrailerLF:
      if (C != '\n') Refuse();
      FState = FTrailerEmptyLine ? sDone : sTrailerStart;
      return;
    case sData:
    case sDone: return;
  }
}

void TChunkedDecoder::CountLine() {
  if (++FLineSize > MaxLineSize) Refuse();
}

void TChunkedDecoder::EndSizeLine() {
  FLineSize = 0;
  FDigits = 0;
  FState = FLeft == 0 ? sTrailerStart : sData;
}

void TChunkedDecoder::StepSizeLine(char C) {
  if (FState == sSizeLF) {
    if (C != '\n') Refuse();
    EndSizeLine();
    return;
  }
  CountLine();
  if (FState == sExtension) {
    if (C == '\r')
      FState = sSizeLF;
    else if (C == '\n')
      EndSizeLine();
    return;
  }
  if (const int V = HexValue(C); V >= 0) {
    // 15 hex digits are 60 bits: no body is larger, and the next digit cannot overflow.
    if (++FDigits > 15) Refuse();
    FLeft = FLeft * 16 + static_cast<std::uint64_t>(V);
  } else if (FDigits == 0) {
    Refuse();
  } else if (C == ';' || IsBlank(C)) {
    FState = sExtension;
  } else if (C == '\r') {
    FState = sSizeLF;
  } else if (C == '\n') {
    EndSizeLine();
  } else {
    Refuse();
  }
}

bool TChunkedDecoder::Announced(std::string_view HeaderBlock) {
  bool Chunked = false;
  while (!HeaderBlock.empty()) {
    const std::size_t End = HeaderBlock.find('\n');
    const std::string_view Line = HeaderBlock.substr(0, End);
    HeaderBlock.remove_prefix(End == std::string_view::npos ? HeaderBlock.size() : End + 1);
    // The lines of an interim reply come first; each status line starts a reply of its own.
    if (Line.substr(0, 5) == "HTTP/") {
      Chunked = false;
      continue;
    }
    const std::size_t Colon = Line.find(':');
    if (Colon == std::string_view::npos || !SameNoCase(Line.substr(0, Colon), "transfer-encoding"))
      continue;
    std::string_view Codings = Line.substr(Colon + 1);
    if (const std::size_t Comma = Codings.rfind(','); Comma != std::string_view::npos)
      Codings.remove_prefix(Comma + 1);
    Chunked = SameNoCase(Trimmed(Codings), "chunked");
  }
  return Chunked;
}
