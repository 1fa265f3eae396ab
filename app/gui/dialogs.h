// Message boxes and the folder picker, with a seam so tests answer them without a person.
#pragma once

#include <QString>
#include <QWidget>
#include <functional>

namespace norv::gui {

// Shows an OK-only message box captioned "norv" (or hands the text to the test recorder), and
// returns once it is closed.
void ShowMessage(QWidget* parent, const QString& text);
// The same box, application-modal, but returns at once: the core's notices never wait.
void OpenMessage(QWidget* parent, const QString& text);
// Tests: every message goes to `recorder` instead of a dialog; null restores dialogs.
void SetMessageRecorder(std::function<void(const QString&)> recorder);

// The folder picker titled "フォルダを選択してください"; empty when cancelled.
QString BrowseFolder(QWidget* parent);
// Tests: the next BrowseFolder returns `answer` without showing a dialog.
void SetNextFolder(const QString& answer);

}  // namespace norv::gui
