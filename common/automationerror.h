#pragma once
// Errors of the automation layer. The ZRV library and the program raise the numbers that
// hosts of the board control already know (68 device unavailable, 5 invalid argument, ...)
// so that a late-bound caller can tell them apart; the text is for people.
//
// Installed with the library (<zrv/common/automationerror.h>, included as
// "common/automationerror.h"): a C++ host catches zrv::AutomationError, or std::exception,
// whose what() is the same text in UTF-8.

#include <QString>
#include <stdexcept>

namespace zrv {

namespace err {
inline constexpr int kInvalidArgument = 5;             // a value that does not fit where it goes
inline constexpr int kOverflow = 6;                    // a number too large for its type
inline constexpr int kOutOfMemory = 7;                 // a store has reached its size limit
inline constexpr int kSubscriptOutOfRange = 9;         // index outside a table or collection
inline constexpr int kDivisionByZero = 11;             //
inline constexpr int kUserInterrupt = 18;              // the host abandoned a wait for the board
inline constexpr int kInternalError = 51;              // a failure that is none of the others
inline constexpr int kTypeMismatch = 13;               // a value that cannot be converted
inline constexpr int kInputPastEndOfFile = 62;         // a file ended inside a record
inline constexpr int kDeviceUnavailable = 68;          // a board command while the link is closed
inline constexpr int kPathFileAccessError = 75;        //
inline constexpr int kCannotCreateObject = 429;        // no class has the programmatic name
inline constexpr int kSetNotSupportedAtRunTime = 382;  // read-only property assigned
inline constexpr int kSetNotPermitted = 387;           // run-time property set in design mode
inline constexpr int kGetNotSupportedAtRunTime = 393;  // write-only property read
inline constexpr int kWrongArgumentCount = 450;        // a call with too few or too many arguments
inline constexpr int kDuplicateKey = 457;              // collection key already present
inline constexpr int kMemberNotFound = 438;            // unknown dispatch number or member
// Serial-port errors of the board control, numbered as serial controls number them.
inline constexpr int kPortOpen = 8000;         // operation not valid while the port is open
inline constexpr int kPortInvalid = 8002;      // no such port number or device
inline constexpr int kPortAlreadyOpen = 8005;  // the port is already open
inline constexpr int kPortUnavailable = 8010;  // the device cannot be opened (permission, in use)
inline constexpr int kPortNotOpen = 8012;      // a transfer on a closed port
inline constexpr int kPortWriteFailed = 8020;  // the device refused or lost written data
}  // namespace err

// Exported from libzrv whoever includes this, so that hosts share the library's type (a catch
// by type works across the library's boundary) and can call what is not inline.
#define ZRV_AUTOMATION_API __attribute__((visibility("default")))

/// The standard text of an automation error number ("Overflow", "Device unavailable", ...).
ZRV_AUTOMATION_API QString standardErrorText(int number);

/// An automation error: a number from `err` and a readable message. The message is the
/// standard text, followed by ": " and a detail when one is given.
class ZRV_AUTOMATION_API AutomationError : public std::runtime_error {
 public:
  explicit AutomationError(int number, const QString& detail = {});
  /// The same error, marked as one that happened because a wait ran out of time.
  static AutomationError timeout(int number, const QString& detail);

  int number() const noexcept { return m_number; }
  /// True when a wait ran out of time (the board did not become ready, a write stalled).
  bool timedOut() const noexcept { return m_timedOut; }
  const QString& message() const noexcept { return m_message; }
  /// The detail alone (empty when the error carries only its standard text).
  const QString& detail() const noexcept { return m_detail; }

 private:
  int m_number;
  bool m_timedOut = false;
  QString m_detail;
  QString m_message;
};

}  // namespace zrv
