#include "ui/TDiskService.h"

#include <cstdio>

#ifdef __linux__
#include <fcntl.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusUnixFileDescriptor>
#include <QVariantMap>

#include "diskio/DiskPlatformLinux.h"
#endif

namespace vantrel::ui {

namespace {

#ifdef __linux__
constexpr const char* kService = "org.freedesktop.UDisks2";
constexpr const char* kBlockInterface = "org.freedesktop.UDisks2.Block";
// Long enough for the user to type the password into polkit's dialog.
constexpr int kOpenTimeoutMs = 5 * 60 * 1000;
#endif

}  // namespace

TDiskService& DiskService() {
  static TDiskService service;
  return service;
}

std::string TDiskService::ObjectPathOf(const std::string& device) {
  const std::size_t slash = device.rfind('/');
  const std::string name = slash == std::string::npos ? device : device.substr(slash + 1);
  std::string path = "/org/freedesktop/UDisks2/block_devices/";
  for (const unsigned char c : name) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_') {
      path += static_cast<char>(c);
    } else {
      char escaped[4];
      std::snprintf(escaped, sizeof escaped, "_%02x", c);
      path += escaped;
    }
  }
  return path;
}

TDiskService::TResult TDiskService::OpenForReading(const std::vector<std::string>& disks) {
  TResult result;
  for (const auto& disk : disks) {
    if (missing_) break;
    if (!asked_.insert(disk).second) {
      result.Refused.push_back(disk);
      continue;
    }
    std::string error;
    switch (OpenOne(disk, error)) {
      case TAnswer::daOpened:
        break;
      case TAnswer::daMissing:
        missing_ = true;
        break;
      case TAnswer::daRefused:
        result.Refused.push_back(disk);
        result.Error = error;
        break;
    }
  }
  result.ServiceMissing = missing_;
  return result;
}

#ifdef __linux__

TDiskService::TAnswer TDiskService::OpenOne(const std::string& device, std::string& error) {
  // DBUS_SYSTEM_BUS_ADDRESS, where set, names the bus (the tests' own).
  QDBusConnection bus = QDBusConnection::systemBus();
  if (!bus.isConnected() || !(bus.connectionCapabilities() & QDBusConnection::UnixFileDescriptorPassing)) {
    error = bus.lastError().message().toStdString();
    return TAnswer::daMissing;
  }
  QDBusMessage call = QDBusMessage::createMethodCall(kService, QString::fromStdString(ObjectPathOf(device)),
                                                     kBlockInterface, "OpenDevice");
  // Mode "r": read-only, whatever the service might otherwise allow.
  call << QString("r") << QVariantMap();
  call.setInteractiveAuthorizationAllowed(true);
  const QDBusMessage reply = bus.call(call, QDBus::Block, kOpenTimeoutMs);
  if (reply.type() == QDBusMessage::ErrorMessage) {
    const QString name = reply.errorName();
    error = (reply.errorMessage().isEmpty() ? name : reply.errorMessage()).toStdString();
    if (name == "org.freedesktop.DBus.Error.ServiceUnknown" || name == "org.freedesktop.DBus.Error.NameHasNoOwner")
      return TAnswer::daMissing;
    return TAnswer::daRefused;
  }
  const QVariant first = reply.arguments().value(0);
  const auto descriptor = qdbus_cast<QDBusUnixFileDescriptor>(first);
  if (!descriptor.isValid()) {
    error = "no file descriptor in the answer";
    return TAnswer::daRefused;
  }
  // The message keeps its own copy; the platform layer gets one of its own.
  const int fd = ::fcntl(descriptor.fileDescriptor(), F_DUPFD_CLOEXEC, 0);
  if (!LinuxPlatform().AdoptOpenedDevice(device, fd)) {
    error = "the descriptor is not open for reading only";
    return TAnswer::daRefused;
  }
  return TAnswer::daOpened;
}

#else

TDiskService::TAnswer TDiskService::OpenOne(const std::string& /*device*/, std::string& /*error*/) {
  return TAnswer::daMissing;
}

#endif

}  // namespace vantrel::ui
