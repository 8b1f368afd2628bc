// TChunkedDecoder: the chunked transfer coding taken off byte by byte for the framing and
// run by run for the data, so that a body split anywhere decodes the same.
#include "http/TChunkedDecoder.h"

#include <algorithm>

#include "base/SysUtils.h"
#include "http/HttpChars.h"
#include "http/HttpErrors.h"

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
  if (const int V = HexDigit(C); V >= 0) {
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
