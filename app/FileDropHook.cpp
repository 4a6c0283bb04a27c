#include "app/FileDropHook.h"

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>

#include "platform/path_text.h"

std::vector<std::string> FileDropHook::localPaths(const QMimeData* mime) {
  // The raw text/uri-list, not QMimeData::urls(): a name that is not UTF-8
  // is percent-encoded byte for byte there, and only the bytes name the file.
  static const QString kUriList = QStringLiteral("text/uri-list");
  if (mime == nullptr || !mime->hasFormat(kUriList)) return {};
  std::vector<std::string> paths;
  const QByteArray list = mime->data(kUriList);
  for (QByteArray line : list.split('\n')) {
    line = line.trimmed();
    if (line.isEmpty() || line.startsWith('#')) continue;  // comments are allowed in the list
    std::optional<std::string> path = pathOfFileUrl(std::string_view(line.constData(), size_t(line.size())));
    if (!path) return {};  // a remote URL: not a drop of local files
    // A folder's URL may end in "/"; the file manager's own name for it doesn't.
    if (path->size() > 1 && path->back() == '/') path->pop_back();
    paths.push_back(std::move(*path));
  }
  return paths;
}

void FileDropHook::attach(QWidget* window, OnDrop onDrop) {
  detach();
  if (window == nullptr) return;
  window_ = window;
  onDrop_ = std::move(onDrop);
  // Qt delivers a drag to the innermost widget that takes drops, so the
  // edit boxes inside the window are hooked as well; they keep their own
  // handling of every drag that is not a drag of local files.
  QList<QWidget*> widgets{window};
  widgets += window->findChildren<QWidget*>();
  for (QWidget* w : widgets) {
    hooked_.append({w, w->acceptDrops()});
    if (w == window) w->setAcceptDrops(true);
    w->installEventFilter(this);
  }
}

void FileDropHook::detach() {
  for (const Hooked& h : hooked_) {
    if (h.widget.isNull()) continue;
    h.widget->removeEventFilter(this);
    h.widget->setAcceptDrops(h.acceptedDrops);
  }
  hooked_.clear();
  window_.clear();
  onDrop_ = nullptr;
}

bool FileDropHook::eventFilter(QObject* watched, QEvent* event) {
  // A disabled window (a search runs with StopWindow open) takes no drops.
  if (auto* w = qobject_cast<QWidget*>(watched); w && !w->isEnabled()) {
    if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove || event->type() == QEvent::Drop) {
      event->ignore();
      return true;
    }
  }
  switch (event->type()) {
    case QEvent::DragEnter:
    case QEvent::DragMove: {
      auto* drag = static_cast<QDragMoveEvent*>(event);
      if (localPaths(drag->mimeData()).empty()) break;
      drag->setDropAction(Qt::CopyAction);
      drag->accept();
      return true;
    }
    case QEvent::Drop: {
      auto* drop = static_cast<QDropEvent*>(event);
      const std::vector<std::string> paths = localPaths(drop->mimeData());
      if (paths.empty()) break;
      drop->setDropAction(Qt::CopyAction);
      drop->accept();
      // Copy: a callback may detach the hook.
      const OnDrop onDrop = onDrop_;
      for (const std::string& path : paths)
        if (onDrop) onDrop(path);
      return true;
    }
    default:
      break;
  }
  return QObject::eventFilter(watched, event);
}
