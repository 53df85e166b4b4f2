// The open-file dialog of the Qt face: the filter as Qt takes it, where it opens,
// and the prompt for a file that does not exist yet.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <filesystem>
#include <memory>

#include "support/TestDir.h"
#include "ui/QtTestSupport.h"
#include "ui/qt/QtFileDialog.h"
#include "ui/qt/QtWindowSystem.h"

namespace {

TEST(QtNameFiltersTest, EntriesOfBothDeliverables) {
  EXPECT_EQ(QtNameFilters(SolvaneStrings().fileFilter),
            (QStringList{"Scc Firmware Files (*.mppt) (*.mppt)", "All Files (*.*) (*.*)"}));
  EXPECT_EQ(QtNameFilters(CastrelStrings().fileFilter),
            (QStringList{"Firmware Files (*.S19) (*.S19 *.mot)", "All Files (*.*) (*.*)"}));
}

TEST(QtNameFiltersTest, StopsAtTheClosingBarsAndSkipsAnUnpairedTail) {
  EXPECT_EQ(QtNameFilters("Text|*.txt||Ignored|*.x||"), QStringList{"Text (*.txt)"});
  EXPECT_EQ(QtNameFilters("Text|*.txt|Dangling"), QStringList{"Text (*.txt)"});
  EXPECT_TRUE(QtNameFilters("").isEmpty());
  EXPECT_EQ(QtNameFilters("Two|*.a; *.b;|"), QStringList{"Two (*.a *.b)"});
}

class QtOpenFileDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureQtApp();
    ws = std::make_unique<CQtWindowSystem>(SolvaneStrings());
    boxes.Install(*ws);
  }
  FileDialogRequest Request() const {
    const VariantStrings& v = SolvaneStrings();
    return FileDialogRequest{v.fileFilter, v.defaultExt, v.initialFileName, true};
  }
  // An answer that names file in the dialog and presses Open.
  std::function<void(QDialog&)> Choose(const std::string& file) {
    return [file](QDialog& box) {
      auto& dialog = static_cast<CQtFileDialog&>(box);
      dialog.selectFile(QString::fromStdString(file));
      dialog.accept();
    };
  }

  CTestDir dir;
  std::unique_ptr<CQtWindowSystem> ws;
  CBoxAnswerer boxes;
};

TEST_F(QtOpenFileDialogTest, OpensInTheWorkingDirectoryWithTheVariantsFilters) {
  boxes.answers.push_back([&](QDialog& box) {
    auto* dialog = qobject_cast<CQtFileDialog*>(&box);
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->testOption(QFileDialog::DontUseNativeDialog));
    EXPECT_EQ(dialog->acceptMode(), QFileDialog::AcceptOpen);
    EXPECT_EQ(dialog->fileMode(), QFileDialog::AnyFile);
    EXPECT_EQ(dialog->nameFilters(), QtNameFilters(SolvaneStrings().fileFilter));
    EXPECT_EQ(QFileInfo(dialog->directory().absolutePath()).canonicalFilePath(),
              QFileInfo(QString::fromStdString(dir.Path())).canonicalFilePath());
    EXPECT_EQ(dialog->defaultSuffix(), "mppt");
    dialog->reject();
  });
  EXPECT_FALSE(ws->OpenFileDialog(Request()).has_value()) << "cancelled";
  EXPECT_EQ(boxes.seen.size(), 1u);
}

TEST_F(QtOpenFileDialogTest, AnExistingFileIsTakenWithoutAQuestion) {
  dir.Write("fw.mppt", "S00600004844521B\n");
  boxes.answers.push_back(Choose("fw.mppt"));
  const auto path = ws->OpenFileDialog(Request());
  ASSERT_TRUE(path.has_value());
  EXPECT_TRUE(std::filesystem::equivalent(*path, dir.File("fw.mppt")));
  EXPECT_TRUE(std::filesystem::path(*path).is_absolute());
  EXPECT_EQ(boxes.seen.size(), 1u) << "no create prompt";
}

TEST_F(QtOpenFileDialogTest, AMissingFileIsOfferedForCreationButNotCreated) {
  // No: back in the dialog. Then Yes: the name comes back, no file appears.
  int prompts = 0;
  CQtFileDialog* fileDialog = nullptr;
  boxes.answers.push_back([&](QDialog& box) {
    fileDialog = static_cast<CQtFileDialog*>(&box);
    fileDialog->selectFile("new.mppt");
    fileDialog->accept();  // asks; answered No below, the dialog stays
    EXPECT_TRUE(fileDialog->isVisible());
    EXPECT_EQ(fileDialog->result(), 0);
    fileDialog->selectFile("new");  // a bare name gets the default suffix
    fileDialog->accept();           // asks again; Yes
  });
  boxes.answers.push_back([&](QDialog& box) {
    ++prompts;
    auto& question = static_cast<QMessageBox&>(box);
    EXPECT_EQ(question.standardButtons(), QMessageBox::Yes | QMessageBox::No);
    EXPECT_NE(question.text().indexOf("new.mppt"), -1);
    question.button(QMessageBox::No)->click();
  });
  boxes.answers.push_back([&](QDialog& box) {
    ++prompts;
    static_cast<QMessageBox&>(box).button(QMessageBox::Yes)->click();
  });
  const auto path = ws->OpenFileDialog(Request());
  EXPECT_EQ(prompts, 2);
  ASSERT_TRUE(path.has_value());
  EXPECT_EQ(std::filesystem::path(*path).filename(), "new.mppt");
  EXPECT_EQ(std::filesystem::path(*path).parent_path(), std::filesystem::canonical(dir.Path()));
  EXPECT_FALSE(std::filesystem::exists(dir.File("new.mppt")));
}

TEST_F(QtOpenFileDialogTest, AFileInAMissingFolderIsRefused) {
  boxes.answers.push_back([&](QDialog& box) {
    auto& dialog = static_cast<CQtFileDialog&>(box);
    dialog.selectFile(QString::fromStdString(dir.File("nofolder/fw.mppt")));
    dialog.accept();  // warns, stays open
    EXPECT_TRUE(dialog.isVisible());
    dialog.reject();
  });
  EXPECT_FALSE(ws->OpenFileDialog(Request()).has_value());
  ASSERT_EQ(boxes.seen.size(), 2u);
  EXPECT_EQ(boxes.seen[1].kind, "message");
  EXPECT_EQ(boxes.seen[1].icon, QMessageBox::Warning);
  EXPECT_FALSE(std::filesystem::exists(dir.File("nofolder")));
}

}  // namespace
