// The cells of the "Trames" tab, in the words of the window and the protocol's names.
#include "app/TFrameModel.h"

#include <QStringList>

#include "app/TAnsiText.h"

namespace {

// A header list or a value a server sent may be as long as it likes: a cell shows the start,
// the tooltip somewhat more, and the rest is for the "Réponse" tab.
constexpr qsizetype CellShown = 2000;
constexpr qsizetype TipShown = 8000;
constexpr std::size_t BytesRead = 16384;  // of a header list, for either

QString Received(const std::string& Bytes) {
  return TAnsiText::ForMessage(std::string_view(Bytes).substr(0, BytesRead));
}

QString Cut(QString Text, qsizetype Max) {
  if (Text.size() > Max) Text = Text.left(Max) + QString::fromUtf8("\u2026");
  return Text;
}

}  // namespace

TFrameModel::TFrameModel(QObject* Parent) : QAbstractTableModel(Parent) {}

void TFrameModel::Show(const TExchangePass& Pass, int Index) {
  const std::string Key =
      std::to_string(Index) + ":" + std::to_string(Pass.Started.time_since_epoch().count());
  const std::size_t Count = std::min(Pass.Frames.size(), Pass.FrameTimes.size());
  if (Key == FKey && Count >= FFrames.size()) {
    if (Count == FFrames.size()) return;
    beginInsertRows({}, static_cast<int>(FFrames.size()), static_cast<int>(Count) - 1);
    FFrames.insert(FFrames.end(), Pass.Frames.begin() + static_cast<std::ptrdiff_t>(FFrames.size()),
                   Pass.Frames.begin() + static_cast<std::ptrdiff_t>(Count));
    FTimes.assign(Pass.FrameTimes.begin(),
                  Pass.FrameTimes.begin() + static_cast<std::ptrdiff_t>(Count));
    endInsertRows();
    return;
  }
  beginResetModel();
  FKey = Key;
  FFrames.assign(Pass.Frames.begin(), Pass.Frames.begin() + static_cast<std::ptrdiff_t>(Count));
  FTimes.assign(Pass.FrameTimes.begin(),
                Pass.FrameTimes.begin() + static_cast<std::ptrdiff_t>(Count));
  endResetModel();
}

void TFrameModel::Clear() {
  if (FKey.empty() && FFrames.empty()) return;
  beginResetModel();
  FKey.clear();
  FFrames.clear();
  FTimes.clear();
  endResetModel();
}

int TFrameModel::rowCount(const QModelIndex& Parent) const {
  return Parent.isValid() ? 0 : static_cast<int>(FFrames.size());
}

int TFrameModel::columnCount(const QModelIndex& Parent) const {
  return Parent.isValid() ? 0 : ColumnCount;
}

QString TFrameModel::Detail(const THttp2Frame& F) {
  switch (F.Type) {
    case THttp2Frame::ftHeaders:
    case THttp2Frame::ftPushPromise:
    case THttp2Frame::ftContinuation: {
      QStringList Lines = Received(F.Headers).split("\r\n", Qt::SkipEmptyParts);
      return Lines.join("; ");
    }
    case THttp2Frame::ftRstStream:
      return QString::fromStdString(Http2Names::ErrorCode(F.ErrorCode));
    case THttp2Frame::ftGoAway:
      return QString::fromUtf8("%1, dernier flux %2")
          .arg(QString::fromStdString(Http2Names::ErrorCode(F.ErrorCode)))
          .arg(F.LastStream);
    case THttp2Frame::ftWindowUpdate:
      return QString::fromUtf8("incr\u00e9ment %1").arg(Received(F.Detail));
    default: return Received(F.Detail);
  }
}

QVariant TFrameModel::data(const QModelIndex& Index, int Role) const {
  if (!Index.isValid() || Index.row() >= rowCount()) return {};
  const auto Row = static_cast<std::size_t>(Index.row());
  const THttp2Frame& F = FFrames[Row];
  if (Role == Qt::TextAlignmentRole) {
    const bool Number =
        Index.column() == fcTime || Index.column() == fcStream || Index.column() == fcLength;
    const Qt::Alignment Across = Number                          ? Qt::AlignRight
                                 : Index.column() == fcDirection ? Qt::AlignHCenter
                                                                 : Qt::AlignLeft;
    return QVariant::fromValue(Across | Qt::AlignVCenter);
  }
  if (Role == Qt::ToolTipRole && Index.column() == fcDirection)
    return F.Sent ? QString::fromUtf8("envoy\u00e9e") : QString::fromUtf8("re\u00e7ue");
  if (Role == Qt::ToolTipRole) {
    // On any cell of the row, the detail column being the first to go out of sight: the
    // header list a line each, as the frame carried it.
    const QString Whole = F.Headers.empty() ? Detail(F) : Received(F.Headers).trimmed();
    return Whole.isEmpty() ? QVariant() : QVariant(Cut(Whole, TipShown));
  }
  if (Role != Qt::DisplayRole) return {};
  switch (Index.column()) {
    case fcTime: return QString::number(FTimes[Row], 'f', 1);
    case fcDirection:
      // An arrow only, its word in the tooltip: the row has little room left for its detail.
      return F.Sent ? QString::fromUtf8("\u2192") : QString::fromUtf8("\u2190");
    case fcType: return QString::fromStdString(Http2Names::FrameType(F.Type));
    case fcFlags: return QString::fromStdString(Http2Names::Flags(F.Type, F.Flags));
    case fcStream: return QString::number(F.Stream);
    case fcLength: return TAnsiText::Count(F.Length);
    case fcDetail: return Cut(Detail(F), CellShown);
    default: return {};
  }
}

QVariant TFrameModel::headerData(int Section, Qt::Orientation Orientation, int Role) const {
  if (Orientation != Qt::Horizontal || Role != Qt::DisplayRole) return {};
  switch (Section) {
    case fcTime: return "Temps (ms)";
    case fcDirection: return "Sens";
    case fcType: return "Type";
    case fcFlags: return "Drapeaux";
    case fcStream: return "Flux";
    case fcLength: return "Longueur";
    case fcDetail: return QString::fromUtf8("D\u00e9tail");
    default: return {};
  }
}
