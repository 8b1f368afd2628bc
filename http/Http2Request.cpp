// Http2Request: the block's lines, each judged once.
#include "http/Http2Request.h"

#include <algorithm>
#include <charconv>

#include "base/AsciiText.h"

namespace Http2Request {
namespace {

// Calls Each(Name, Value, Line) for every field line of Block after the request line.
template <class F>
void ForEachField(std::string_view Block, F Each) {
  std::size_t At = Block.find("\r\n");
  while (At != std::string_view::npos) {
    At += 2;
    const std::size_t End = Block.find("\r\n", At);
    if (End == std::string_view::npos || End == At) return;
    const std::string_view Line = Block.substr(At, End - At);
    const std::size_t Colon = Line.find(':');
    if (Colon != std::string_view::npos) {
      std::string_view Value = Line.substr(Colon + 1);
      while (!Value.empty() && (Value.front() == ' ' || Value.front() == '\t'))
        Value.remove_prefix(1);
      while (!Value.empty() && (Value.back() == ' ' || Value.back() == '\t'))
        Value.remove_suffix(1);
      Each(Line.substr(0, Colon), Value, Line);
    }
    At = End;
  }
}

// The names the Connection fields of Block list, lower case: fields of that connection only.
std::vector<std::string> NamedByConnection(std::string_view Block) {
  std::vector<std::string> Names;
  ForEachField(Block, [&](std::string_view Name, std::string_view Value, std::string_view) {
    if (!SameNoCase(Name, "connection")) return;
    std::size_t From = 0;
    while (From <= Value.size()) {
      std::size_t Comma = Value.find(',', From);
      if (Comma == std::string_view::npos) Comma = Value.size();
      std::string_view Item = Value.substr(From, Comma - From);
      while (!Item.empty() && Item.front() == ' ') Item.remove_prefix(1);
      while (!Item.empty() && Item.back() == ' ') Item.remove_suffix(1);
      if (!Item.empty()) Names.push_back(AsciiLowered(Item));
      From = Comma + 1;
    }
  });
  return Names;
}

bool Dropped(std::string_view Name, std::string_view Value, const std::vector<std::string>& Named) {
  if (ConnectionSpecific(Name, Value)) return true;
  const std::string Lower = AsciiLowered(Name);
  return std::find(Named.begin(), Named.end(), Lower) != Named.end();
}

}  // namespace

bool ConnectionSpecific(std::string_view Name, std::string_view Value) {
  for (const char* Each :
       {"connection", "keep-alive", "proxy-connection", "transfer-encoding", "upgrade"})
    if (SameNoCase(Name, Each)) return true;
  return SameNoCase(Name, "te") && !SameNoCase(Value, "trailers");
}

std::string ShownBlock(std::string_view Block) {
  const std::size_t LineEnd = Block.find("\r\n");
  if (LineEnd == std::string_view::npos) return std::string(Block);
  std::string_view RequestLine = Block.substr(0, LineEnd);
  std::string Shown;
  Shown.reserve(Block.size());
  const std::size_t Space = RequestLine.rfind(' ');
  if (Space != std::string_view::npos && RequestLine.substr(Space + 1).starts_with("HTTP/"))
    Shown.append(RequestLine.substr(0, Space)).append(" HTTP/2");
  else
    Shown.append(RequestLine);
  Shown += "\r\n";
  const std::vector<std::string> Named = NamedByConnection(Block);
  ForEachField(Block, [&](std::string_view Name, std::string_view Value, std::string_view Line) {
    if (!Dropped(Name, Value, Named)) Shown.append(Line).append("\r\n");
  });
  Shown += "\r\n";
  return Shown;
}

std::vector<TField> HeaderList(std::string_view Block, std::string_view Scheme) {
  const std::string_view RequestLine = Block.substr(0, Block.find("\r\n"));
  const std::size_t First = RequestLine.find(' ');
  const std::size_t Last = RequestLine.rfind(' ');
  if (First == std::string_view::npos || Last == First) return {};
  std::vector<TField> List;
  // In the order curl sends them.
  List.push_back({":method", std::string(RequestLine.substr(0, First))});
  List.push_back({":path", std::string(RequestLine.substr(First + 1, Last - First - 1))});
  List.push_back({":scheme", std::string(Scheme)});
  List.push_back({":authority", {}});
  const std::vector<std::string> Named = NamedByConnection(Block);
  bool HasAuthority = false;
  ForEachField(Block, [&](std::string_view Name, std::string_view Value, std::string_view) {
    if (Dropped(Name, Value, Named)) return;
    if (SameNoCase(Name, "host")) {
      if (!HasAuthority) List[3].Value = std::string(Value);
      HasAuthority = true;
      return;
    }
    List.push_back({AsciiLowered(Name), std::string(Value)});
  });
  // Without a Host field there is no authority to name: the field goes.
  if (!HasAuthority) List.erase(List.begin() + 3);
  return List;
}

long long ContentLength(std::string_view Block) {
  long long Length = 0;
  ForEachField(Block, [&](std::string_view Name, std::string_view Value, std::string_view) {
    if (!SameNoCase(Name, "content-length")) return;
    std::from_chars(Value.data(), Value.data() + Value.size(), Length);
  });
  return Length;
}

}  // namespace Http2Request
