// The Chinese reasons for the kinds of database errors.
#include "db/DbError.h"

namespace pos::db {

namespace {

const char* explanation(DbFault fault) {
    switch (fault) {
        case DbFault::TypeMismatch:
            return "数据类型不正确";
        case DbFault::MissingValue:
            return "缺少必填的值";
        case DbFault::DuplicateKey:
            return "主键或唯一值重复";
        case DbFault::TextTooLong:
            return "文本超出列的长度";
        case DbFault::Refused:
            return "数据库的约束或触发器拒绝了这项修改";
        case DbFault::Busy:
            return "数据库正被另一个程序使用，请关闭该程序或稍后再试";
        case DbFault::Deadlock:
            return "与另一个程序的操作相互等待，本次操作已被撤销，请稍后再试";
        case DbFault::Timeout:
            return "数据库在限定的时间内没有响应，请稍后再试";
        case DbFault::DiskFull:
            return "磁盘空间不足，请腾出空间后再试";
        case DbFault::DiskIo:
            return "读写数据库文件时出错，可能是磁盘空间不足或磁盘故障，请检查磁盘后再试";
        case DbFault::ReadOnly:
            return "数据库为只读，请检查是否有写入数据库文件及其文件夹的权限";
        case DbFault::CannotOpen:
            return "数据库文件无法打开，请检查它是否存在以及是否有读写的权限";
        case DbFault::Damaged:
            return "数据库文件已损坏或不是数据库，请从备份恢复，或把它移出数据库文件夹";
        case DbFault::Connection:
            return "与数据库服务器的连接失败或已中断，请检查网络和服务器后再试";
        case DbFault::Login:
            return "服务器拒绝了登录，请检查用户名和密码";
        case DbFault::LockRefused:
            return "文件系统无法给数据库加导入锁，请把数据库文件夹放在本机磁盘上，或请管理员检查"
                   "该文件系统的文件锁服务和磁盘后再试";
        case DbFault::TransactionLost:
            return "数据库自行结束了事务，事务中所做的修改都没有保留，请排除原因（例如磁盘已满、"
                   "与服务器的连接中断）后重试";
        case DbFault::Other:
            break;
    }
    return "数据库操作失败";
}

}  // namespace

bool isEnvironmentFault(DbFault fault) {
    switch (fault) {
        case DbFault::Busy:
        case DbFault::Deadlock:
        case DbFault::Timeout:
        case DbFault::DiskFull:
        case DbFault::DiskIo:
        case DbFault::ReadOnly:
        case DbFault::CannotOpen:
        case DbFault::Damaged:
        case DbFault::Connection:
        case DbFault::Login:
        case DbFault::LockRefused:
        case DbFault::TransactionLost:
            return true;
        default:
            return false;
    }
}

std::string faultReason(DbFault fault, const std::string& original, const std::string& detail) {
    std::string text = explanation(fault);
    if (!detail.empty()) {
        text += "：" + detail;
    }
    if (!original.empty()) {
        text += "（" + original + "）";
    }
    return text;
}

}  // namespace pos::db
