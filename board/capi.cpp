// The C interface of zrv.h over ZRVIO and its dispatch table. No C++ exception crosses it:
// every failure becomes an error number and a text kept with the object (or, for calls
// without one, with the thread).
#include <QByteArray>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "board/dispatch.h"
#include "board/host.h"
#include "board/portmap.h"
#include "board/zrv.h"
#include "board/zrvio.h"
#include "common/automationerror.h"

namespace {

using zrv::AutomationError;
using zrv::Variant;
namespace err = zrv::err;

struct Failure {
  int number = 0;
  bool timedOut = false;
  std::string text;

  void clear() {
    number = 0;
    timedOut = false;
    text.clear();
  }
  int set(int n, const QString& message, bool timeout = false) {
    number = n;
    timedOut = timeout;
    text = message.toStdString();
    return n;
  }
};

// The host services a C host hands in.
class CHost final : public zrv::Host {
 public:
  explicit CHost(const zrv_host& host) : m_host(host) {}

  bool designMode() const override {
    return m_host.design_mode && m_host.design_mode(m_host.context) != 0;
  }
  void processEvents() override {
    if (m_host.process_events) m_host.process_events(m_host.context);
  }
  void propertyChanged(const QString& name) override {
    if (m_host.property_changed) m_host.property_changed(m_host.context, name.toUtf8().constData());
  }

 private:
  zrv_host m_host;
};

// Failures of calls that have no object, per thread.
Failure& threadFailure() {
  thread_local Failure failure;
  return failure;
}

// Runs a call, turning whatever it throws into an error number and text.
template <typename F>
int guarded(Failure& failure, F&& call) {
  failure.clear();
  try {
    call();
    return 0;
  } catch (const AutomationError& e) {
    return failure.set(e.number(), e.message(), e.timedOut());
  } catch (const std::bad_alloc&) {
    return failure.set(err::kOutOfMemory, zrv::standardErrorText(err::kOutOfMemory));
  } catch (const std::exception& e) {
    return failure.set(err::kInternalError,
                       QStringLiteral("%1: %2").arg(zrv::standardErrorText(err::kInternalError),
                                                    QString::fromUtf8(e.what())));
  } catch (...) {
    return failure.set(err::kInternalError, zrv::standardErrorText(err::kInternalError));
  }
}

[[noreturn]] void badArgument(size_t index, const QString& why) {
  throw AutomationError(err::kInvalidArgument,
                        QStringLiteral("argument %1: %2").arg(index + 1).arg(why));
}

template <typename T>
const T& deref(const T* pointer, size_t index) {
  if (!pointer) badArgument(index, QStringLiteral("a by-reference argument without a value"));
  return *pointer;
}

Variant fromC(const zrv_variant& v, size_t index) {
  const bool byRef = v.vt & ZRV_VT_BYREF;
  switch (v.vt & ~ZRV_VT_BYREF) {
    case ZRV_VT_EMPTY:
      if (!byRef) return Variant();
      break;
    case ZRV_VT_MISSING:
      if (!byRef) return Variant::missing();
      break;
    case ZRV_VT_I2:
      return Variant(byRef ? deref(v.v.pi2, index) : v.v.i2);
    case ZRV_VT_I4:
      return Variant(byRef ? deref(v.v.pi4, index) : v.v.i4);
    case ZRV_VT_R8:
      return Variant(byRef ? deref(v.v.pr8, index) : v.v.r8);
    case ZRV_VT_DATE:
      return Variant::date(byRef ? deref(v.v.pr8, index) : v.v.date);
    case ZRV_VT_BOOL:
      return Variant((byRef ? deref(v.v.pi2, index) : v.v.boolval) != 0);
    case ZRV_VT_STR: {
      const char* text = byRef ? deref(v.v.pstr, index) : v.v.str;
      return Variant(QString::fromUtf8(text ? text : ""));
    }
    default:
      break;
  }
  badArgument(index, QStringLiteral("variant type %1 is not one of zrv.h").arg(v.vt));
}

zrv_variant toC(const Variant& v) {
  zrv_variant out{};
  switch (v.type()) {
    case zrv::VarType::Empty:
      out.vt = ZRV_VT_EMPTY;
      break;
    case zrv::VarType::Integer:
      out.vt = ZRV_VT_I2;
      out.v.i2 = v.integerValue();
      break;
    case zrv::VarType::Long:
      out.vt = ZRV_VT_I4;
      out.v.i4 = v.longValue();
      break;
    case zrv::VarType::Boolean:
      out.vt = ZRV_VT_BOOL;
      out.v.boolval = v.boolValue() ? ZRV_TRUE : ZRV_FALSE;
      break;
    case zrv::VarType::Double:
      out.vt = ZRV_VT_R8;
      out.v.r8 = v.doubleValue();
      break;
    default:
      // No member returns text or dates; a result the interface cannot carry is a fault.
      throw AutomationError(err::kInternalError,
                            QStringLiteral("a result of type %1").arg(zrv::typeName(v.type())));
  }
  return out;
}

}  // namespace

struct zrv_object {
  zrv::ZRVIO io;
  std::unique_ptr<CHost> host;
  Failure failure;
};

extern "C" {

int zrv_create(const char* progid, zrv_object** object) {
  Failure& failure = threadFailure();
  return guarded(failure, [&] {
    if (!object)
      throw AutomationError(err::kInvalidArgument, QStringLiteral("no place for the object"));
    *object = nullptr;
    if (!progid || std::strcmp(progid, zrv::dispatch::kProgId) != 0)
      throw AutomationError(
          err::kCannotCreateObject,
          QStringLiteral("no class is named \"%1\" (this library has %2)")
              .arg(QString::fromUtf8(progid ? progid : ""), QLatin1String(zrv::dispatch::kProgId)));
    *object = new zrv_object;
    // Any host of the C interface may end a wait with zrv_abandon.
    (*object)->io.setAbandonable(true);
  });
}

void zrv_release(zrv_object* object) {
  delete object;
}

int zrv_set_host(zrv_object* object, const zrv_host* host) {
  if (!object)
    return threadFailure().set(
        err::kInvalidArgument,
        zrv::standardErrorText(err::kInvalidArgument) + QStringLiteral(": no object"));
  return guarded(object->failure, [&] {
    if (host) {
      auto next = std::make_unique<CHost>(*host);
      object->io.setHost(next.get());
      object->host = std::move(next);
    } else {
      object->io.setHost(nullptr);
      object->host.reset();
    }
  });
}

int zrv_invoke(zrv_object* object, int32_t dispid, unsigned kind, const zrv_variant* args,
               size_t argc, zrv_variant* result) {
  if (result) *result = zrv_variant{};
  if (!object)
    return threadFailure().set(
        err::kInvalidArgument,
        zrv::standardErrorText(err::kInvalidArgument) + QStringLiteral(": no object"));
  Failure failure;
  const int number = guarded(failure, [&] {
    if (argc > 0 && !args)
      throw AutomationError(err::kInvalidArgument,
                            QStringLiteral("%1 arguments without an array").arg(argc));
    std::vector<Variant> values;
    values.reserve(argc);
    for (size_t i = 0; i < argc; ++i)
      values.push_back(fromC(args[i], i));
    const Variant value = zrv::dispatch::invoke(object->io, dispid, kind, values);
    const zrv_variant out = toC(value);
    if (result) *result = out;
  });
  // Set after the call: a nested call from the host's events must not leave its outcome.
  object->failure = std::move(failure);
  return number;
}

int zrv_abandon(zrv_object* object, int abandon) {
  // No Failure is touched: this runs on another thread (or in a signal handler) while the
  // object's own thread is inside a call.
  if (!object) return err::kInvalidArgument;
  object->io.abandonWait(abandon != 0);
  return 0;
}

int zrv_error_timed_out(const zrv_object* object) {
  return (object ? object->failure.timedOut : threadFailure().timedOut) ? 1 : 0;
}

int zrv_error_number(const zrv_object* object) {
  return object ? object->failure.number : threadFailure().number;
}

const char* zrv_error_text(const zrv_object* object) {
  return object ? object->failure.text.c_str() : threadFailure().text.c_str();
}

size_t zrv_copy_error_text(const zrv_object* object, char* buffer, size_t size) {
  const std::string& text = object ? object->failure.text : threadFailure().text;
  if (buffer && size > 0) {
    const size_t n = std::min(text.size(), size - 1);
    std::memcpy(buffer, text.data(), n);
    buffer[n] = '\0';
  }
  return text.size();
}

int zrv_map_port(int16_t comm_port, const char* device) {
  return guarded(threadFailure(), [&] {
    zrv::ZRVIO::checkCommPort(comm_port);
    zrv::portmap::overrideForProcess(comm_port, QString::fromUtf8(device ? device : ""));
  });
}

int zrv_get_dispid(const char* name, int32_t* dispid) {
  return guarded(threadFailure(), [&] {
    const QString text = QString::fromUtf8(name ? name : "");
    const zrv::dispatch::Member* member = zrv::dispatch::find(text);
    if (!member)
      throw AutomationError(err::kMemberNotFound,
                            QStringLiteral("no member is named \"%1\"").arg(text));
    if (dispid) *dispid = member->dispid;
  });
}

size_t zrv_member_count(void) {
  return zrv::dispatch::members().size();
}

int zrv_member_info(size_t index, zrv_member* member) {
  return guarded(threadFailure(), [&] {
    const auto members = zrv::dispatch::members();
    if (index >= members.size())
      throw AutomationError(err::kSubscriptOutOfRange,
                            QStringLiteral("member %1 of %2").arg(index).arg(members.size()));
    const zrv::dispatch::Member& m = members[index];
    if (member)
      *member = {m.dispid, m.name, m.kinds(), static_cast<unsigned>(m.params.size()), m.help};
  });
}

}  // extern "C"
