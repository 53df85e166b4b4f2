#include "ui/qt/QtFileDialog.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QLineEdit>
#include <QMessageBox>

namespace {
bool HasWildcard(const QString& name) {
  return name.contains(QLatin1Char('*')) || name.contains(QLatin1Char('?'));
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
