// The program's message box: caption "信息：", no icon, application-modal,
// either OK alone (flags 0) or Yes and No (flags 4). Returns the values the
// callers test: 0 for OK, 5 for Yes, 6 for No.
#pragma once

#include <QMessageBox>
#include <QString>

#include <functional>

inline constexpr int kMessageBoxOk = 0;     // flags: OK only
inline constexpr int kMessageBoxYesNo = 4;  // flags: Yes and No
inline constexpr int kAnswerOk = 0;
inline constexpr int kAnswerYes = 5;
inline constexpr int kAnswerNo = 6;

int messageBox(const QString& text, int flags = kMessageBoxOk);

// Answers every box automatically (tests): the hook sees the box as built and
// names the button to press; the box is then shown and that button clicked.
using MessageBoxHook = std::function<QMessageBox::StandardButton(const QMessageBox& box)>;
void setMessageBoxHookForTesting(MessageBoxHook hook);
