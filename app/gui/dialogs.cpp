#include "app/gui/dialogs.h"

#include <QFileDialog>
#include <QMessageBox>
#include <optional>

namespace norv::gui {
namespace {

std::function<void(const QString&)>& Recorder() {
    static std::function<void(const QString&)> recorder;
    return recorder;
}

std::optional<QString>& NextFolder() {
    static std::optional<QString> next;
    return next;
}

}  // namespace

void ShowMessage(QWidget* parent, const QString& text) {
    if (Recorder()) {
        Recorder()(text);
        return;
    }
    // Plain text: a file name that looks like markup is shown as it is, never rendered.
    QMessageBox box(QMessageBox::Information, QStringLiteral("norv"), text, QMessageBox::Ok,
                    parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void OpenMessage(QWidget* parent, const QString& text) {
    if (Recorder()) {
        Recorder()(text);
        return;
    }
    auto* box = new QMessageBox(QMessageBox::Information, QStringLiteral("norv"), text,
                                QMessageBox::Ok, parent);
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    box->show();
}

void SetMessageRecorder(std::function<void(const QString&)> recorder) {
    Recorder() = std::move(recorder);
}

QString BrowseFolder(QWidget* parent) {
    if (NextFolder()) {
        QString answer = *NextFolder();
        NextFolder().reset();
        return answer;
    }
    QString folder = QFileDialog::getExistingDirectory(
        parent, QStringLiteral("フォルダを選択してください"), QString(),
        QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    // No trailing separator except at the root.
    while (folder.size() > 1 && folder.endsWith('/')) folder.chop(1);
    return folder;
}

void SetNextFolder(const QString& answer) { NextFolder() = answer; }

}  // namespace norv::gui
