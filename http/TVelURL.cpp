// Form-data encoding.
#include "http/TVelURL.h"

#include <algorithm>
#include <new>

#include "base/Exception.h"

TVelURL::TVelURL(TComponent* AOwner) : TComponent(AOwner) {}

namespace {

bool PassesUnchanged(unsigned char C) {
  return (C >= '0' && C <= '9') || (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z');
}

}  // namespace

std::string TVelURL::Encode() {
  static constexpr char Hex[] = "0123456789ABCDEF";
  std::string ErrMsg;
  try {
    std::string Result;
    Result.reserve(InputString.size());
    for (char Ch : InputString) {
      unsigned char C = static_cast<unsigned char>(Ch);
      if (PassesUnchanged(C)) {
        Result += Ch;
      } else if (C == ' ') {
        Result += '+';
      } else {
        Result += '%';
        Result += Hex[C >> 4];
        Result += Hex[C & 15];
      }
    }
    return Result;
  } catch (const Exception& E) {
    ErrMsg = E.Message();
  } catch (const std::bad_alloc&) {
    ErrMsg = "Out of memory";
  }
  // Reported outside the handlers so that a handler of OnError may raise in turn.
  if (OnError && !IsDestroying()) OnError(this, "Error during encode", ErrMsg);
  return InputString;
}

std::string TVelURL::EncodeFields() {
  if (InputString.find('=') == std::string::npos) return Encode();
  const std::string Whole = InputString;
  std::string Result;
  std::size_t From = 0;
  for (;;) {
    const std::size_t Amp = std::min(Whole.find('&', From), Whole.size());
    const std::string Field = Whole.substr(From, Amp - From);
    const std::size_t Equals = Field.find('=');
    InputString = Field.substr(0, Equals);
    Result += Encode();
    if (Equals != std::string::npos) {
      InputString = Field.substr(Equals + 1);
      Result += '=';
      Result += Encode();
    }
    if (Amp == Whole.size()) break;
    Result += '&';
    From = Amp + 1;
  }
  InputString = Whole;
  return Result;
}
