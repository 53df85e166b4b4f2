#include "ui/qt/QtFileDialog.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QFontMetrics>
#include <QHeaderView>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QScreen>
#include <QShowEvent>
#include <QStyle>
#include <QTreeView>
#include <algorithm>

namespace {
bool HasWildcard(const QString& name) {
  return name.contains(QLatin1Char('*')) || name.contains(QLatin1Char('?'));
}

// The detail view's columns, as the file system model numbers them.
enum Column { kName, kSize, kType, kDate, kColumns };

// The longest a listing gets to read: a firmware folder is small, and a huge one
// only needs its first screens measured.
constexpr int kMeasuredRows = 1000;

// What an entry draws besides its text: the style's margin either side of it, and
// in the name column the entry's icon with its gap.
int TextMargins(const QTreeView& view) {
  return 2 * (view.style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &view) + 1);
}
int IconWidth(const QTreeView& view) {
  const int icon = view.iconSize().isValid()
                       ? view.iconSize().width()
                       : view.style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, &view);
  return icon + TextMargins(view);
}
}  // namespace

QStringList QtNameFilters(const std::string& filter) {
  const QStringList parts = QString::fromStdString(filter).split(QLatin1Char('|'));
  QStringList filters;
  for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
    const QString& description = parts[i];
    if (description.isEmpty()) break;  // the closing "||"
    QStringList patterns = parts[i + 1].split(QLatin1Char(';'), Qt::SkipEmptyParts);
    for (QString& pattern : patterns) pattern = pattern.trimmed();
    filters << QStringLiteral("%1 (%2)").arg(description, patterns.join(QLatin1Char(' ')));
  }
  return filters;
}

CQtFileDialog::CQtFileDialog(QWidget* parent, const FileDialogRequest& request,
                             std::function<int(QDialog&)> execModal)
    : QFileDialog(parent), m_createPrompt(request.createPrompt), m_execModal(std::move(execModal)) {
  setWindowTitle(QStringLiteral("Open"));
  setOption(QFileDialog::DontUseNativeDialog);
  // The descriptions already name their patterns; Qt need not repeat them.
  setOption(QFileDialog::HideNameFilterDetails);
  setAcceptMode(QFileDialog::AcceptOpen);
  setFileMode(m_createPrompt ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
  setNameFilters(QtNameFilters(request.filter));
  setDefaultSuffix(QString::fromStdString(request.DefaultSuffix()));
  setDirectory(QDir::currentPath());
  // A wildcard name is what the first filter already shows; a plain name is offered.
  const QString initial = QString::fromStdString(request.initialName);
  if (!initial.isEmpty() && !HasWildcard(initial)) selectFile(initial);

  m_fit.setSingleShot(true);
  m_fit.setInterval(0);
  connect(&m_fit, &QTimer::timeout, this, &CQtFileDialog::FitColumns);
}

void CQtFileDialog::showEvent(QShowEvent* event) {
  QFileDialog::showEvent(event);
  auto* view = findChild<QTreeView*>(QStringLiteral("treeView"));
  if (!view || !m_leastWidths.empty()) {
    m_fit.start();
    return;
  }
  // The widest texts of a firmware folder, as the model words them in this locale:
  // a name of 36 characters, a size just short of the next unit, a date late in
  // the year at the end of a day. Qt's own widths ("128.88 GB" without margins)
  // cut "12.68 KiB" short.
  const QFontMetrics metrics(view->font());
  const QLocale locale = QLocale::system();
  const int margins = TextMargins(*view);
  int size = 0;
  for (qint64 bytes : {qint64(1023), qint64(1048575) - 10, qint64(1073741823) - 10240}) {
    size = std::max(size, metrics.horizontalAdvance(locale.formattedDataSize(bytes)));
  }
  const QString date =
      locale.toString(QDateTime(QDate(2026, 12, 28), QTime(23, 58, 58)), QLocale::ShortFormat);
  m_leastWidths.assign(kColumns, 0);
  m_leastWidths[kName] = 36 * metrics.averageCharWidth() + IconWidth(*view) + margins;
  m_leastWidths[kSize] = size + margins;
  m_leastWidths[kDate] = metrics.horizontalAdvance(date) + margins;
  // Every change of the listing (a folder read, sizes and types filled in by the
  // background reader, another folder opened) fits the columns again.
  if (QAbstractItemModel* model = view->model()) {
    connect(model, &QAbstractItemModel::rowsInserted, &m_fit, qOverload<>(&QTimer::start));
    connect(model, &QAbstractItemModel::dataChanged, &m_fit, qOverload<>(&QTimer::start));
    connect(model, &QAbstractItemModel::layoutChanged, &m_fit, qOverload<>(&QTimer::start));
    connect(model, &QAbstractItemModel::modelReset, &m_fit, qOverload<>(&QTimer::start));
  }
  if (auto* files = findChild<QFileSystemModel*>()) {
    connect(files, &QFileSystemModel::directoryLoaded, &m_fit, qOverload<>(&QTimer::start));
  }
  FitColumns();
}

void CQtFileDialog::FitColumns() {
  auto* view = findChild<QTreeView*>(QStringLiteral("treeView"));
  QAbstractItemModel* model = view ? view->model() : nullptr;
  if (!model) return;
  QHeaderView* header = view->header();
  const QModelIndex root = view->rootIndex();
  const int rows = std::min(model->rowCount(root), kMeasuredRows);
  for (int column = 0; column < model->columnCount(root); ++column) {
    if (header->isSectionHidden(column)) continue;
    int width = header->sectionSizeHint(column);
    if (column < int(m_leastWidths.size())) width = std::max(width, m_leastWidths[column]);
    for (int row = 0; row < rows; ++row) {
      width = std::max(width, view->sizeHintForIndex(model->index(row, column, root)).width());
    }
    if (header->sectionSize(column) != width) header->resizeSection(column, width);
  }
  // The dialog grows by what the columns lack, up to the screen's width; it
  // never shrinks under the user.
  const int missing = header->length() - view->viewport()->width();
  if (missing <= 0 || !isVisible()) return;
  int wanted = width() + missing;
  if (const QScreen* where = screen()) {
    wanted =
        std::min(wanted, where->availableGeometry().width() - (frameGeometry().width() - width()));
  }
  if (wanted > width()) resize(wanted, height());
}

void CQtFileDialog::accept() {
  const QStringList files = selectedFiles();
  if (files.size() == 1 && CreatePrompt()) {
    const QFileInfo info(files.front());
    if (HasWildcard(info.fileName())) {
      // A pattern typed as the name filters the listing instead of naming a file.
      if (auto* model = findChild<QFileSystemModel*>()) {
        model->setNameFilters({info.fileName()});
      } else {
        setNameFilter(info.fileName());
      }
      if (QLineEdit* edit = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) edit->clear();
      return;
    }
    if (!info.exists()) {
      if (!QFileInfo(info.absolutePath()).isDir()) {
        QMessageBox box(QMessageBox::Warning, windowTitle(),
                        QStringLiteral("%1\nPath does not exist.\nCheck the path and try again.")
                            .arg(QDir::toNativeSeparators(info.absoluteFilePath())),
                        QMessageBox::Ok, this);
        m_execModal(box);
        return;
      }
      QMessageBox box(QMessageBox::Question, windowTitle(),
                      QStringLiteral("%1\nThis file does not exist.\nCreate the file?")
                          .arg(QDir::toNativeSeparators(info.absoluteFilePath())),
                      QMessageBox::Yes | QMessageBox::No, this);
      box.setDefaultButton(QMessageBox::Yes);
      // No leaves the user in the dialog to choose again. Yes only returns the name:
      // the file itself is not created.
      if (m_execModal(box) != QMessageBox::Yes) return;
    }
  }
  QFileDialog::accept();
}

QString CQtFileDialog::ChosenPath() const {
  const QStringList files = selectedFiles();
  if (result() != QDialog::Accepted || files.isEmpty()) return {};
  return QFileInfo(files.front()).absoluteFilePath();
}
