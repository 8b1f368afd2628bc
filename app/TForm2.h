// The About dialog: the maker's name, a few paragraphs about the program and a picture.
#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class TForm2;
}

// Created hidden at start-up and shown modeless from the menu; it lives until the program
// ends, and "&Fermer" only hides it.
class TForm2 : public QDialog {
  Q_OBJECT

 public:
  explicit TForm2(QWidget* Parent = nullptr);
  ~TForm2() override;

 public slots:
  void Button1Click();

 private:
  std::unique_ptr<Ui::TForm2> FUi;
};

extern TForm2* Form2;
