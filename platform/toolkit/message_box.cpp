#include "platform/toolkit/message_box.h"

#include <QAbstractButton>
#include <QGuiApplication>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

namespace {
MessageBoxHook& hook() {
  static MessageBoxHook h;
  return h;
}
}  // namespace

void setMessageBoxHookForTesting(MessageBoxHook h) { hook() = std::move(h); }

int messageBox(const QString& text, int flags) {
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

  if (hook()) {
    const QMessageBox::StandardButton answer = hook()(box);
    QTimer::singleShot(0, &box, [&box, answer] {
      if (QAbstractButton* button = box.button(answer)) button->click();
      else box.reject();
    });
  } else if (QGuiApplication::platformName() == QLatin1String("offscreen")) {
    // Nobody can see or answer a box here; waiting for a click would hang.
    std::fprintf(stderr, "信息：%s\n", text.toUtf8().constData());
    return yesNo ? kAnswerNo : kAnswerOk;
  }
  box.exec();

  switch (box.standardButton(box.clickedButton())) {
    case QMessageBox::Yes: return kAnswerYes;
    case QMessageBox::No: return kAnswerNo;
    case QMessageBox::Ok: return kAnswerOk;
    default: return yesNo ? kAnswerNo : kAnswerOk;  // closed without a button
  }
}
