// Conversions between the components' 8-bit strings (Windows-1252 bytes) and Qt's text.
#pragma once

#include <QString>
#include <string>

// The components speak Windows-1252; what a server sends may be anything. These are the only
// places where the window turns bytes into text and back.
class TAnsiText {
 public:
  // Windows-1252 bytes as text; every byte maps to one character (the five bytes the code
  // page leaves undefined map to the control characters of the same value).
  static QString ToQString(const std::string& Bytes);
  // Text as Windows-1252 bytes; a character the code page cannot hold becomes '?'.
  static std::string FromQString(const QString& Text);
  // Bytes received from a server: UTF-8 when they are valid UTF-8, Windows-1252 otherwise.
  // NUL bytes are kept.
  static QString FromReceived(const std::string& Bytes);
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
  static QString ForPane(const std::string& Bytes);

  static constexpr qsizetype MaxPaneLine = 16384;
  static constexpr qsizetype MaxPaneBlocks = 100000;
};
