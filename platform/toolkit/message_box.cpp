#include "platform/toolkit/message_box.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>

#include "platform/toolkit/user_dialogs.h"

int DesktopDialogs::messageBox(const QString& text, int flags) {
  const bool yesNo = (flags & 0xF) == kMessageBoxYesNo;
  QMessageBox box(QMessageBox::NoIcon, QStringLiteral("信息："), text,
                  yesNo ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok);
  box.setWindowModality(Qt::ApplicationModal);
  if (yesNo) {
    box.button(QMessageBox::Yes)->setText(QStringLiteral("是(&Y)"));
    box.button(QMessageBox::No)->setText(QStringLiteral("否(&N)"));
    box.setEscapeButton(QMessageBox::No);
  } else {
    box.button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
  }
  box.exec();

  switch (box.standardButton(box.clickedButton())) {
    case QMessageBox::Yes: return kAnswerYes;
    case QMessageBox::No: return kAnswerNo;
    case QMessageBox::Ok: return kAnswerOk;
    default: return yesNo ? kAnswerNo : kAnswerOk;  // closed without a button
  }
}
