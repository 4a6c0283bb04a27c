#include "cli/folder_messages.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/path_text.h"
#include "search/enumeration.h"

std::string folderErrorText(int error) {
  switch (error) {
    case EACCES:
    case EPERM: return "没有权限";
    case ENOENT: return "不存在";
    case ENOTDIR: return "不是文件夹";
    case EMFILE:
    case ENFILE: return "打开的文件过多";
    case ELOOP: return "符号链接层数过多";
    case ENAMETOOLONG: return "路径过长";
    case EIO: return "读写错误";
    case ENOMEM: return "内存不足";
    default: return "错误 " + std::to_string(error) + "：" + std::strerror(error);
  }
}

std::string searchFolderProblem(const std::string& folder) {
  if (folder.empty()) return "没有指定要搜索的文件夹：--folder 的值为空";
  // Opened as the walk opens it, so what passes here is what it will read.
  const int fd = ::open(directoryPrefix(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
  if (fd >= 0) {
    ::close(fd);
    return {};
  }
  const int error = errno;
  const std::string name = readablePath(folder);
  if (error == ENOENT) return "文件夹不存在：" + name;
  if (error == ENOTDIR) return "不是文件夹：" + name;
  return "无法读取文件夹：" + name + "（" + folderErrorText(error) + "）";
}

std::string unreadableFolderMessage(const std::string& folder, int error) {
  return "无法读取文件夹：" + readablePath(folder) + "（" + folderErrorText(error) + "），已跳过";
}
