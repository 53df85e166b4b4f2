// The open-file dialog of the Qt face: the filter as Qt takes it, where it opens,
// and the prompt for a file that does not exist yet.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QDir>
#include <QFileInfo>
#include <QFontMetrics>
#include <QHeaderView>
#include <QMessageBox>
#include <QStyle>
#include <QTreeView>
#include <QtTest/QTest>
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

// The detail view at the size the dialog opens with: the name, size, type and date
// of a firmware file each whole in its column (not "12....KiB"), the header's titles
// too, and every column within the view.
TEST_F(QtOpenFileDialogTest, NameSizeTypeAndDateShowWholeAtTheDialogsSize) {
  dir.Write("SCC_MPPT60A_Rev00.01_2026-03-14.mppt", std::string(12 * 1024 + 700, 'S'));
  QDir().mkdir(QString::fromStdString(dir.File("Archive 2025")));
  boxes.answers.push_back([&](QDialog& dialog) {
    auto* view = dialog.findChild<QTreeView*>(QStringLiteral("treeView"));
    ASSERT_TRUE(view && view->isVisible()) << "the dialog opens on its detail view";
    const QAbstractItemModel* model = view->model();
    const QModelIndex root = view->rootIndex();
    QHeaderView* header = view->header();
    // What an entry draws besides its text: the style's margin either side, and in
    // the name column the file's icon with its gap.
    QStyle* style = view->style();
    const int margin = 2 * (style->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, view) + 1);
    const int icon = view->iconSize().isValid()
                         ? view->iconSize().width()
                         : style->pixelMetric(QStyle::PM_SmallIconSize, nullptr, view);
    // The texts of a column that its width cuts short, its title first.
    const auto cut = [&](int column) {
      const QString title = model->headerData(column, Qt::Horizontal).toString();
      std::string texts;
      if (header->sectionSize(column) < header->fontMetrics().horizontalAdvance(title) + margin) {
        texts += title.toStdString() + "; ";
      }
      for (int row = 0; row < model->rowCount(root); ++row) {
        const QString shown = model->index(row, column, root).data().toString();
        const int need = view->fontMetrics().horizontalAdvance(shown) + margin +
                         (column == 0 ? icon + 4 : 0);
        if (header->sectionSize(column) < need) texts += shown.toStdString() + "; ";
      }
      return texts;
    };
    // The folder is read, then sizes and types filled in, in the background; the
    // dialog refits the columns as they come.
    QTest::qWaitFor(
        [&] {
          if (model->rowCount(root) != 2) return false;
          for (int column = 0; column < 4; ++column) {
            if (!cut(column).empty()) return false;
          }
          return header->length() <= view->viewport()->width();
        },
        10000);
    ASSERT_EQ(model->rowCount(root), 2) << "the file and the folder";
    for (int column = 0; column < 4; ++column) {
      EXPECT_FALSE(header->isSectionHidden(column)) << column;
      EXPECT_EQ(cut(column), "") << column;
    }
    EXPECT_LE(header->length(), view->viewport()->width()) << "every column within the view";
    SaveScreenshot(dialog, "file-dialog");
    dialog.reject();
  });
  EXPECT_FALSE(ws->OpenFileDialog(Request()).has_value());
}

}  // namespace
