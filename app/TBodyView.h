// TBodyView: a reply body in three views: text (JSON pretty-printed when the reply says JSON
// and it parses), hex with offsets, and a picture for PNG, JPEG, GIF and BMP. The view is
// chosen from the bytes themselves; the user can switch.
#pragma once

#include <QImage>
#include <QString>
#include <QWidget>
#include <functional>
#include <string>
#include <string_view>

class QComboBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QStackedWidget;

class TBodyView : public QWidget {
  Q_OBJECT

 public:
  enum TMode { bmText, bmHex, bmImage };

  explicit TBodyView(QWidget* Parent = nullptr);

  // What the views show of a body, made without a widget, so on any thread: a body of tens
  // of megabytes takes seconds to indent and cut into the pane's blocks.
  struct TPrepared {
    QImage Image;
    QString Text;
    TMode Mode = bmText;
  };
  static TPrepared Prepare(const std::string& Body, const std::string& ContentType);

  // Shows Body (the reply's Content-Type in ContentType); Note, when not empty, is a line
  // above the views (a body cut short, or kept only in part).
  void SetBody(const std::string& Body, const std::string& ContentType, const QString& Note);
  // The same from what Prepare made of Body.
  void SetPrepared(std::string Body, const std::string& ContentType, TPrepared Prepared,
                   const QString& Note);
  // "Lire le corps entier", beside the note while Whole is set: a body kept only in part
  // whose whole can be read again (from a HAR file).
  void OfferWhole(std::function<void()> Whole);
  // Replaces the note alone; a picture's size shows when there is no note.
  void SetNote(const QString& Note);
  TMode Mode() const { return FMode; }
  // Switches the view; the picture only when the body is one.
  void SetMode(TMode Mode);
  // The text the text or hex view shows, and the size of the picture (empty when none).
  QString Text() const;
  QString Hex() const;
  QSize ImageSize() const { return FImage.size(); }

  // The view that suits the bytes: a picture when Qt reads them as one of the four formats,
  // text when they are UTF-8 or Windows-1252 text, hex otherwise.
  static TMode Choose(std::string_view Body, const QImage& Image);
  // The picture in Body when its first bytes name PNG, JPEG, GIF or BMP and it decodes.
  static QImage Picture(std::string_view Body);
  // Sixteen bytes a line: the offset, the bytes in hex, the printable ones as characters.
  static QString HexDump(std::string_view Bytes);
  // The hex view shows at most this much of a body: five characters a byte.
  static constexpr std::size_t MaxHexBytes = std::size_t{1} << 20;
  // Body indented by two when ContentType says JSON ("application/json", "...+json") and
  // Body parses as JSON nested at most MaxJsonDepth deep; empty otherwise.
  static QString PrettyJson(std::string_view Body, std::string_view ContentType);
  // Deeper JSON is shown as it came: parsing and writing it again recurse once per level.
  static constexpr int MaxJsonDepth = 256;
  // The read-only pane of fixed-width text, not wrapped, that the inspector's texts use.
  static QPlainTextEdit* NewPane(QWidget* Parent, const char* Name);

 private:
  void Show();

  std::string FBody;
  std::string FContentType;
  QImage FImage;
  TMode FMode = bmText;
  bool FHexDone = false;  // the hex view is built when first shown
  QLabel* FNote;
  QPushButton* FWhole;
  std::function<void()> FWholeAsked;
  QComboBox* FChoice;
  QStackedWidget* FStack;
  QPlainTextEdit* FText;
  QPlainTextEdit* FHex;
  QLabel* FPicture;
};
