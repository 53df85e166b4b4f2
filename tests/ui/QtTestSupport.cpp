#include "ui/QtTestSupport.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <cstdlib>

#include "ui/qt/QtAboutBox.h"
#include "ui/qt/QtFileDialog.h"
#include "ui/qt/QtJournalDialog.h"
#include "ui/qt/QtWindowSystem.h"

const char kGoodIni[] =
    "[DEVICELIST]\n"
    "DEVICECOUNT=1\n"
    "[DEVICE0]\n"
    "VID=0x0483\n"
    "PID=0x5750\n"
    "COMMUNICATBDRATE=9600\n"
    "PROGRAMBDRATE=9600\n"
    "RAWDATASIZE=32\n"
    "HEADLINE=0\n"
    "ROMHEAD=0x8000\n"
    "ROMTAIL=0xFFFF\n"
    "INTSTART=0xFF00\n"
    "INTEND=0xFFF0\n"
    "PAGESIZE=0x200\n"
    "IAPSTART=0xE000\n"
    "IAPEND=0xEFF0\n"
    "IAPMARK=0x8400\n"
    "FLASHCMD=IAP#\n"
    "IAPCODEPROTECT=0\n";

void EnsureQtApp() {
  if (QApplication::instance()) return;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  static int argc = 1;
  static char name[] = "ui_qt_tests";
  static char* argv[] = {name, nullptr};
  new QApplication(argc, argv);  // lives until the process ends
}

void CBoxAnswerer::Install(CQtWindowSystem& ws) {
  ws.SetModalHook([this](QDialog& box) {
    SeenBox seenBox;
    seenBox.caption = box.windowTitle().toStdString();
    if (auto* message = qobject_cast<QMessageBox*>(&box)) {
      seenBox.kind = "message";
      seenBox.text = message->text().toStdString();
      seenBox.icon = message->icon();
      seenBox.buttons = static_cast<int>(message->standardButtons());
      if (message->defaultButton()) {
        seenBox.defaultButton = message->standardButton(message->defaultButton());
      }
    } else if (auto* about = qobject_cast<CQtAboutBox*>(&box)) {
      seenBox.kind = "about";
      seenBox.text = (about->Line1()->text() + "\n" + about->Line2()->text()).toStdString();
    } else if (auto* journal = qobject_cast<CQtJournalDialog*>(&box)) {
      seenBox.kind = "journal";
      seenBox.text = journal->Path()->text().toStdString();
    } else if (qobject_cast<CQtFileDialog*>(&box)) {
      seenBox.kind = "file";
    } else {
      seenBox.kind = "other";
    }
    seen.push_back(seenBox);
    if (!answers.empty()) {
      auto answer = std::move(answers.front());
      answers.pop_front();
      answer(box);
      return;
    }
    if (seenBox.kind == "message" || seenBox.kind == "about" || seenBox.kind == "journal") {
      box.accept();
    } else {
      box.reject();
    }
  });
}

std::function<void(QDialog&)> PressButton(int standardButton) {
  return [standardButton](QDialog& box) {
    auto* message = qobject_cast<QMessageBox*>(&box);
    QAbstractButton* button =
        message ? message->button(static_cast<QMessageBox::StandardButton>(standardButton))
                : nullptr;
    if (button) {
      button->click();
    } else {
      ADD_FAILURE() << "no such button on \"" << box.windowTitle().toStdString() << "\"";
      box.reject();
    }
  };
}

void SaveScreenshot(QWidget& w, const std::string& name) {
  const QString dir = qEnvironmentVariable("IAP_SCREENSHOT_DIR");
  if (dir.isEmpty()) return;
  QDir().mkpath(dir);
  w.grab().save(dir + "/" + QString::fromStdString(name) + ".png");
}
