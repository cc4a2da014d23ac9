#include "automationerror.h"

namespace zrv {

QString standardErrorText(int number) {
  switch (number) {
    case err::kInvalidArgument:
      return QStringLiteral("Invalid procedure call or argument");
    case err::kOverflow:
      return QStringLiteral("Overflow");
    case err::kOutOfMemory:
      return QStringLiteral("Out of memory");
    case err::kSubscriptOutOfRange:
      return QStringLiteral("Subscript out of range");
    case err::kDivisionByZero:
      return QStringLiteral("Division by zero");
    case err::kUserInterrupt:
      return QStringLiteral("User interrupt occurred");
    case err::kInternalError:
      return QStringLiteral("Internal error");
    case err::kTypeMismatch:
      return QStringLiteral("Type mismatch");
    case err::kInputPastEndOfFile:
      return QStringLiteral("Input past end of file");
    case err::kDeviceUnavailable:
      return QStringLiteral("Device unavailable");
    case err::kPathFileAccessError:
      return QStringLiteral("Path/File access error");
    case err::kCannotCreateObject:
      return QStringLiteral("Cannot create object");
    case err::kSetNotSupportedAtRunTime:
      return QStringLiteral("Set not supported at run time");
    case err::kSetNotPermitted:
      return QStringLiteral("Set not permitted");
    case err::kGetNotSupportedAtRunTime:
      return QStringLiteral("Get not supported at run time");
    case err::kMemberNotFound:
      return QStringLiteral("Object doesn't support this property or method");
    case err::kWrongArgumentCount:
      return QStringLiteral("Wrong number of arguments or invalid property assignment");
    case err::kDuplicateKey:
      return QStringLiteral("This key is already associated with an element of this collection");
    case err::kPortOpen:
      return QStringLiteral("Operation not valid while the port is opened");
    case err::kPortInvalid:
      return QStringLiteral("Invalid port number");
    case err::kPortAlreadyOpen:
      return QStringLiteral("Port already open");
    case err::kPortUnavailable:
      return QStringLiteral("The port is not available");
    case err::kPortNotOpen:
      return QStringLiteral("The device is not open");
    case err::kPortWriteFailed:
      return QStringLiteral("Error writing to the port");
    default:
      return QStringLiteral("Application-defined or object-defined error %1").arg(number);
  }
}

namespace {
QString composeMessage(int number, const QString& detail) {
  const QString standard = standardErrorText(number);
  return detail.isEmpty() ? standard : standard + QStringLiteral(": ") + detail;
}
}  // namespace

AutomationError::AutomationError(int number, const QString& detail)
    : std::runtime_error(composeMessage(number, detail).toStdString()),
      m_number(number),
      m_detail(detail),
      m_message(composeMessage(number, detail)) {}

AutomationError AutomationError::timeout(int number, const QString& detail) {
  AutomationError error(number, detail);
  error.m_timedOut = true;
  return error;
}

}  // namespace zrv
