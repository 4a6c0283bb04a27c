// The program's message box: caption "信息：", no icon, application-modal,
// either OK alone (flags 0) or Yes and No (flags 4). It is shown through
// UserDialogs::messageBox, which returns the values the callers test: 0 for
// OK, 5 for Yes, 6 for No.
#pragma once

inline constexpr int kMessageBoxOk = 0;     // flags: OK only
inline constexpr int kMessageBoxYesNo = 4;  // flags: Yes and No
inline constexpr int kAnswerOk = 0;
inline constexpr int kAnswerYes = 5;
inline constexpr int kAnswerNo = 6;
