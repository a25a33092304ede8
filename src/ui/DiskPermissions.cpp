#include "ui/DiskPermissions.h"

#include "diskio/HostDiskPlatform.h"

namespace vantrel::ui {

std::vector<std::string> DisksWithoutReadPermission() { return HostPlatform().DisksWithoutReadPermission(); }

std::string PermissionAdvice(const std::vector<std::string>& denied, bool serviceMissing,
                             const std::string& serviceError) {
  std::string list;
  for (const auto& d : denied) list += (list.empty() ? "" : ", ") + d;
  std::string text = "没有权限读取本机的磁盘（" + list + "），所以它们不在驱动器列表中。\n\n";
  if (serviceMissing)
    text += "本机没有磁盘服务（UDisks2），无法请求读取这些磁盘的权限。";
  else
    text += "磁盘服务（UDisks2）没有打开这些磁盘" + (serviceError.empty() ? "" : "（" + serviceError + "）") + "。";
  text +=
      "要从这些磁盘恢复数据，请把您的用户加入 disk 组（sudo adduser $USER disk，然后重新登录），"
      "或者用 pkexec vantrel 以管理员权限运行本程序。"
      "也可以用“对象”菜单的“打开映像文件”打开一个磁盘映像文件。";
  return text;
}

}  // namespace vantrel::ui
