// The one table of load-failure texts. A cause without a text here does not
// compile (-Wswitch); "{}" in a text stands for the error's detail.
#include "platform/xl/load_error.h"

#include <ostream>
#include <string_view>

namespace xl {

const char* loadCauseText(LoadCause cause) {
  switch (cause) {
    case LoadCause::None: return "ok";
    case LoadCause::Cancelled: return "读取已取消";

    case LoadCause::OpenDenied: return "无法打开文件：没有权限";
    case LoadCause::OpenNotFound: return "无法打开文件：文件不存在";
    case LoadCause::OpenPathNotFolder: return "无法打开文件：路径中有一项不是文件夹";
    case LoadCause::OpenPathTooLong: return "无法打开文件：路径过长";
    case LoadCause::OpenLinkLoop: return "无法打开文件：符号链接层数过多";
    case LoadCause::OpenTooManyFiles: return "无法打开文件：打开的文件过多";
    case LoadCause::OpenNotRegular: return "无法打开文件：不是普通文件";
    case LoadCause::OpenErrno: return "无法打开文件（错误码 {}）";
    case LoadCause::ReadIoError: return "无法读取文件：输入输出错误";
    case LoadCause::ReadFailed: return "读取文件失败";
    case LoadCause::ZipReadFailed: return "无法读取文件";
    case LoadCause::ZipNoMemory: return "内存不足，无法读取文件";
    case LoadCause::PartNoMemory: return "内存不足，无法读取 {}";

    case LoadCause::Empty: return "文件为空";
    case LoadCause::NotWorkbook: return "不是工作簿文件";
    case LoadCause::NotWorkbookEmpty: return "不是工作簿文件：文件为空";
    case LoadCause::NotWorkbookFolder: return "不是工作簿文件：这是一个文件夹";
    case LoadCause::NotWorkbookNotRegular: return "不是工作簿文件：不是普通文件";
    case LoadCause::NotWorkbookPdf: return "不是工作簿文件：PDF 文档";
    case LoadCause::NotWorkbookWordDoc: return "不是工作簿文件：Word 文档（.doc）";
    case LoadCause::NotWorkbookPowerPointPpt: return "不是工作簿文件：PowerPoint 演示文稿（.ppt）";
    case LoadCause::NotWorkbookOle2NoStream: return "不是工作簿文件：OLE2 文件中没有工作簿流";
    case LoadCause::NotWorkbookNoBof: return "不是工作簿文件：工作簿流不以 BOF 记录开头";
    case LoadCause::NotWorkbookOpenDocument: return "不是工作簿文件：OpenDocument 文档";
    case LoadCause::NotWorkbookWordDocx: return "不是工作簿文件：Word 文档（.docx）";
    case LoadCause::NotWorkbookPowerPointPptx: return "不是工作簿文件：PowerPoint 演示文稿（.pptx）";
    case LoadCause::NotWorkbookEmptyZip: return "不是工作簿文件：空的 ZIP 压缩包";
    case LoadCause::NotWorkbookPlainZip: return "不是工作簿文件：普通的 ZIP 压缩包";
    case LoadCause::UnsupportedRtf: return "不支持的格式：RTF 文档";
    case LoadCause::UnsupportedSylk: return "不支持的格式：SYLK 文件";
    case LoadCause::UnsupportedMhtml: return "不支持的格式：单个文件网页（MHTML）";
    case LoadCause::UnsupportedXmlSpreadsheet: return "不支持的格式：XML 电子表格（Excel 2003 XML）";
    case LoadCause::UnsupportedHtml: return "不支持的格式：HTML 网页";
    case LoadCause::UnsupportedXml: return "不支持的格式：XML 文件";
    case LoadCause::UnsupportedUtf16Text: return "不支持的格式：文本文件";
    case LoadCause::UnsupportedTabText: return "不支持的格式：制表符分隔的文本文件";
    case LoadCause::UnsupportedCsv: return "不支持的格式：CSV 文本文件";
    case LoadCause::UnsupportedPlainText: return "不支持的格式：纯文本文件";
    case LoadCause::UnsupportedXlsb: return "不支持的格式：Excel 二进制工作簿（.xlsb）";
    case LoadCause::UnsupportedOds: return "不支持的格式：OpenDocument 电子表格（.ods）";
    case LoadCause::EncryptedNeedsPassword: return "文件已加密（需要密码）";
    case LoadCause::EncryptedUnsupported: return "文件已加密：不支持的加密方式";
    case LoadCause::DecryptNoMemory: return "内存不足，无法解密文件";
    case LoadCause::DecryptAllocFailed: return "无法解密文件：无法分配内存";

    case LoadCause::Damaged: return "文件已损坏";
    case LoadCause::DamagedReadError: return "文件已损坏：读取时出错";
    case LoadCause::DamagedOle2: return "文件已损坏：OLE2 容器无法读取";
    case LoadCause::DamagedStreamUnreadable: return "文件已损坏：工作簿流无法读取";
    case LoadCause::DamagedStreamPastFile: return "文件已损坏：工作簿流长度超出文件";
    case LoadCause::DamagedRecordOverrun: return "文件已损坏：工作簿流记录越界";
    case LoadCause::DamagedZip: return "文件已损坏：不是完整的 ZIP 文件";
    case LoadCause::DamagedEncryptionInfo: return "文件已损坏：加密信息无法读取";
    case LoadCause::PartMissing: return "文件已损坏：缺少 {}";
    case LoadCause::PartNotXml: return "文件已损坏：{} 不是有效的 XML";
    case LoadCause::PartTagTooLong: return "文件已损坏：{} 含有过长的 XML 标记";
    case LoadCause::PartDoctype: return "文件已损坏：{} 含有不允许的 DOCTYPE 声明";
    case LoadCause::PartEntity: return "文件已损坏：{} 含有不允许的实体声明";
    case LoadCause::PartTooDeep: return "文件已损坏：{} 的元素嵌套过深";
    case LoadCause::PartBadCompression: return "文件已损坏：{} 使用了不支持的压缩方式";
    case LoadCause::PartInflateFailed: return "文件已损坏：{} 无法解压";
    case LoadCause::PartBadEncoding: return "文件已损坏：{} 使用了不支持的编码";

    case LoadCause::TooLarge: return "文件过大";
    case LoadCause::TooLargeNoMemory: return "文件过大：内存不足";
    case LoadCause::TooLargeSheets: return "文件过大：工作表过多";
    case LoadCause::TooLargeCells: return "文件过大：单元格过多";
    case LoadCause::TooLargeCellLimit: return "文件过大：单元格超过上限";
    case LoadCause::TooLargeCellText: return "文件过大：单元格文本超过上限";
    case LoadCause::TooLargePart: return "文件过大：{}";
    case LoadCause::TooLargePartStrings: return "文件过大：{} 的共享字符串过多";
    case LoadCause::TooLargePartText: return "文件过大：{} 中有超长的文本";

    case LoadCause::PieceNeedsOrder: return "文件已损坏";
  }
  return "文件已损坏";
}

std::string loadErrorText(const LoadError& error) {
  const std::string_view text = loadCauseText(error.cause);
  const size_t at = text.find("{}");
  if (at == std::string_view::npos) return std::string(text);
  std::string out;
  out.reserve(text.size() + error.detail.size());
  out.append(text.substr(0, at)).append(error.detail).append(text.substr(at + 2));
  return out;
}

std::ostream& operator<<(std::ostream& out, const LoadError& error) { return out << loadErrorText(error); }
std::ostream& operator<<(std::ostream& out, LoadCause cause) { return out << loadCauseText(cause); }

}  // namespace xl
