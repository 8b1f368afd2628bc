// Conversions between the components' 8-bit strings and Qt's text.
#pragma once

#include <QString>
#include <cstdint>
#include <string>
#include <string_view>

// The components' own texts are Windows-1252; what a server sends may be anything; what the
// user types goes out as UTF-8, as browsers send it. These are the only places where the
// window turns bytes into text and back.
class TAnsiText {
 public:
  // Windows-1252 bytes as text; every byte maps to one character (the five bytes the code
  // page leaves undefined map to the control characters of the same value).
  static QString ToQString(const std::string& Bytes);
  // Typed text as the bytes that go to the components: UTF-8. A lone surrogate (which no
  // keyboard gives, but a paste might) becomes U+FFFD.
  static std::string FromQString(const QString& Text);
  // Bytes received from a server, or a message that may quote what the user typed: UTF-8
  // when they are valid UTF-8, Windows-1252 otherwise. NUL bytes are kept.
  static QString FromReceived(std::string_view Bytes);
  // Text as the window shows it: each bidirectional control (U+061C, U+200E, U+200F,
  // U+202A-U+202E, U+2066-U+2069) becomes a visible mark such as "<U+202E>". Left as it is,
  // such a character reorders the text after it, and a server could make a value read as
  // another: "abc<U+202E>fed" would show as "abcdef". Only what is shown changes.
  static QString WithVisibleBidi(QString Text);
  // Bytes received from a server as a message shows them: FromReceived, then WithVisibleBidi.
  static QString ForMessage(std::string_view Bytes);
  // A count of bytes as the window writes it: digits in groups of three, separated by a
  // space ("1 000 000").
  static QString Count(std::int64_t Value);
  // The same, prepared for a text pane: a line longer than MaxPaneLine characters is shown
  // in pieces of that length, since one huge line would stall the pane's layout for minutes.
  // A text of more than MaxPaneBlocks lines is shown with several lines to one block of the
  // pane, joined by line separators (U+2028) into blocks of at most MaxPaneLine characters
  // (a longer line's pieces excepted): filling the pane costs a few microseconds and over a
  // hundred bytes per block, so a 10 MB reply of short lines took seconds and half a
  // gigabyte. The pane shows the same lines and gives the same plain text (a line separator
  // reads as a line end); no character is dropped. Below the limit every line keeps a block
  // of its own, so that the scroll bar, a triple click and Ctrl+Up/Down work line by line:
  // 100 000 blocks fill in about half a second.
  // Of a body longer than MaxBytes only the first MaxBytes are shown (cut before a UTF-8
  // sequence that would not fit), followed by a line that says how many bytes are left out:
  // a pane of hundreds of megabytes takes gigabytes and minutes. Saving the reply keeps all.
  // Bidirectional controls show as WithVisibleBidi's marks.
  static QString ForPane(const std::string& Bytes, std::size_t MaxBytes = MaxPaneBytes);
  // The last line of a pane that shows only part of a body.
  static QString LeftOutLine(std::int64_t Bytes);

  static constexpr qsizetype MaxPaneLine = 16384;
  static constexpr qsizetype MaxPaneBlocks = 100000;
  static constexpr std::size_t MaxPaneBytes = std::size_t{16} << 20;  // 16 MiB

 private:
  // Text with its lines cut and packed as ForPane describes.
  static QString InBlocks(QString Text);
};
