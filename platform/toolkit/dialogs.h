// The save-file dialog: a filter in the "description|pattern" form, a
// default extension such as "*.xlsx", the proposed file name, and a question
// before an existing file is overwritten.
#pragma once

#include <QString>

#include <functional>
#include <optional>

class QFileDialog;
class QWidget;

struct SaveFileRequest {
  QString filter;            // "表格文件（*.xlsx）|*.xlsx"; pairs separated by "|"
  QString defaultExtension;  // "*.xlsx": added when the chosen name has none
  QString fileName;          // proposed name, a full path or a bare name
};

// The chosen full path, or nothing when the user cancelled.
std::optional<QString> showSaveFileDialog(const SaveFileRequest& request, QWidget* parent = nullptr);

// Qt's form of the filter ("desc (pattern)" entries joined by ";;").
QString qtNameFilters(const QString& filter);

// Answers the dialog (tests): the hook sees the dialog as configured and
// returns the chosen path or nothing.
using SaveFileDialogHook = std::function<std::optional<QString>(QFileDialog& dialog)>;
void setSaveFileDialogHookForTesting(SaveFileDialogHook hook);
