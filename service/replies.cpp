#include "replies.h"

#include "protocol.h"

#include <QFileInfo>
#include <QJsonDocument>

const QString RetMsgSTRDATA = QStringLiteral("string");
const QString RetMsgJSONDATA = QStringLiteral("json");
const QString RetMsgBase64DATA = QStringLiteral("base64");

QString Reply::CustomText(int code)
{
    switch (code) {
    case DeviceListFailed: return QStringLiteral("获取扫描仪设备失败");
    case OptionsFailed: return QStringLiteral("获取参数设置失败");
    case NoScanner: return QStringLiteral("未找到扫描仪，请先获取扫描仪设备或检查扫描仪是否正确连接");
    case NoDeviceChosen: return QStringLiteral("未选择扫描仪");
    case FolderMissing: return QStringLiteral("图像保存路径不存在");
    case FolderNotWritable: return QStringLiteral("图像保存路径无读写权限");
    case FolderNotMade: return QStringLiteral("图像保存路径创建失败");
    case ScanFailed: return QStringLiteral("扫描时出错");
    case Busy: return QStringLiteral("正在进行扫描，无法进行其他操作");
    case Disconnected: return QStringLiteral("连接已断开");
    case OneClientOnly: return QStringLiteral("服务端只允许一个客户端进行连接");
    case BadScanSettings: return QStringLiteral("扫描时验证扫描参数错误");
    case Done: return QStringLiteral("操作成功");
    case PageScanned: return QStringLiteral("扫描完一张图像");
    case DocumentMade: return QStringLiteral("扫描完所有图像，已生成多页文件");
    case ReplyCode::AllScanned: return QStringLiteral("扫描完所有图像");
    case DeviceList: return QStringLiteral("获取扫描仪列表成功");
    case OptionsRead: return QStringLiteral("获取参数设置成功");
    case Base64Made: return QStringLiteral("转换base64字符串成功");
    case VersionRead: return QStringLiteral("获取服务版本成功");
    case StatusRead: return QStringLiteral("获取扫描状态成功");
    case ScanProgress: return QStringLiteral("扫描进度");
    case CancelAsked: return QStringLiteral("已请求取消扫描");
    case DeviceInfoRead: return QStringLiteral("获取扫描仪信息成功");
    case ChunkRead: return QStringLiteral("读取文件成功");
    default: return QStringLiteral("未知错误");
    }
}

QString Reply::SaneStatusText(int status)
{
    static const char *const texts[] = {
        "正常",
        "平台未支援.",
        "平台已经取消.",
        "装置忙碌.请重启扫描仪.",
        "无效的参数.",
        "已到达文件尾.",
        "文档获取器阻塞.请打开盖子，取出纸张.",
        "文档获取器无纸张.请放入纸张.",
        "扫描仪盖子已打开.请关闭盖子.",
        "装置I/O时错误.请重启电脑和扫描仪.",
        "内存不足.请重启电脑.",
        "资源存取被禁止.请重启电脑.",
        "未找到扫描仪.请先获取扫描仪.",
    };
    const unsigned index = unsigned(status);
    if (index >= sizeof texts / sizeof texts[0])
        return QStringLiteral("未知错误.");
    return QString::fromUtf8(texts[index]);
}

namespace {

RetMsg make(const QString &cmd, ReplyCode code, const QString &data, const QString &dataType)
{
    RetMsg msg;
    msg.cmd = cmd;
    msg.code = code;
    msg.msg = Reply::CustomText(code);
    msg.data = data;
    msg.dataType = dataType;
    return msg;
}

} // namespace

RetMsg Reply::Error(ReplyCode code, const QString &cmd)
{
    return make(cmd, code, QString(), QString());
}

RetMsg Reply::SaneStatus(int status)
{
    RetMsg msg;
    msg.code = status;
    msg.msg = SaneStatusText(status);
    return msg;
}

RetMsg Reply::Home(const QString &homePath)
{
    return make(QStringLiteral("HOME"), Done, homePath, RetMsgSTRDATA);
}

RetMsg Reply::Devices(const QString &cmd, const QVector<QString> &devices)
{
    // The greeting and "CDEV" send a bare error; a USB change keeps its word.
    if (devices.isEmpty())
        return Error(NoScanner, cmd == QLatin1String("SDEV") ? QString() : cmd);
    return make(cmd, DeviceList, Protocol::WriteDevicesJson(devices), RetMsgJSONDATA);
}

RetMsg Reply::Options(const QString &document)
{
    return make(QStringLiteral("SOPT"), OptionsRead, document, RetMsgJSONDATA);
}

RetMsg Reply::DeviceInfo(const QString &document)
{
    return make(QStringLiteral("SDEVINFO"), DeviceInfoRead, document, RetMsgJSONDATA);
}

RetMsg Reply::PagePath(const QString &file)
{
    return make(QStringLiteral("SSCANONE"), PageScanned, QFileInfo(file).suffix().toLower() + QLatin1Char('|') + file,
                RetMsgSTRDATA);
}

RetMsg Reply::PageBase64(const QString &payload)
{
    return make(QStringLiteral("SSCANONE"), PageScanned, payload, RetMsgBase64DATA);
}

RetMsg Reply::Document(const QString &taggedPath)
{
    return make(QStringLiteral("SSCANMUL"), DocumentMade, taggedPath, RetMsgSTRDATA);
}

RetMsg Reply::AllScanned()
{
    return make(QStringLiteral("SSCANALL"), ReplyCode::AllScanned, QString(), QString());
}

RetMsg Reply::Base64(const QString &text)
{
    return make(QStringLiteral("SBASE64"), Base64Made, text, RetMsgBase64DATA);
}

QString Reply::JsonData(const QJsonObject &document)
{
    return QString::fromLatin1(QJsonDocument(document).toJson(QJsonDocument::Compact).toBase64());
}

RetMsg Reply::Version(const QJsonObject &document)
{
    return make(QStringLiteral("SVER"), VersionRead, JsonData(document), RetMsgJSONDATA);
}

RetMsg Reply::Status(const QJsonObject &document)
{
    return make(QStringLiteral("SSTATUS"), StatusRead, JsonData(document), RetMsgJSONDATA);
}

RetMsg Reply::Progress(const QJsonObject &document)
{
    return make(QStringLiteral("SSCANPROGRESS"), ScanProgress, JsonData(document), RetMsgJSONDATA);
}

RetMsg Reply::CancelAnswer(bool stopping)
{
    return make(QStringLiteral("SCANCEL"), CancelAsked, stopping ? QStringLiteral("1") : QStringLiteral("0"),
                RetMsgSTRDATA);
}

RetMsg Reply::ChunkHeader(const QJsonObject &document)
{
    return make(QStringLiteral("SREAD"), ChunkRead, JsonData(document), RetMsgJSONDATA);
}
