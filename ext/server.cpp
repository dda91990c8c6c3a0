// Server: registers a program ID at an SAP gateway and answers the calls
// that ABAP systems send to it, one call per serve_one, through Python
// callbacks chosen by function name. The parameters of an inbound call are
// read with the function's interface, fetched over a second, ordinary
// client session (the metadata session) used for nothing else.
//
// Lock. One mutex guards the registration and the metadata session;
// serve_one holds it for its whole run, the callback included. Nobody ever
// waits for it while holding the interpreter lock (ServerLock releases the
// interpreter lock for the wait): a second thread that calls serve_one or
// close() during a serve_one waits without the interpreter lock, so the
// serving thread can take the interpreter lock back and finish. `alive` is
// a flag and takes no lock.
//
// Waits. Each serve_one runs under waits of its own (proto/net/waits.hpp):
// the deadline of its wait for a call, a wake-up descriptor and a look at
// pending Python signals every proto::kCheckSlice, for the registration
// and the metadata session alike. No socket option bounds a wait, so a
// gateway that trickles bytes cannot stretch one. close() from another
// thread raises the wake-up descriptor and then takes the mutex; the
// waiting serve_one returns None at once.
//
// The end of a registration. A gateway that closed the connection, bytes
// that cannot be framed, a failed socket or a reply cut short end the
// registration: that serve_one raises the error, `alive` turns False, and
// every later serve_one raises "registration ended" at once.
//
// Answers. Once a call has arrived the ABAP caller is always answered: with
// the reply, or with an ABAP message that says what went wrong (a refused
// result, a received value Python would not take, any failure on this
// side), unless close() or a signal broke serve_one off or the
// registration ended.
//
// Exports. What a callback returns goes to the caller as given or not at
// all: each value is encoded for its field (type, length, the decimals of
// its data element) by the encoder of a Connection's imports, so that a
// text too long for its field, a Numc, Date or Time in another form, or an
// integer outside its field's range is refused with the message a
// Connection gives for the same value, naming the parameter (and, in a
// structure given as a dict, the field).
//
// The metadata session. When its conversation has ended (a fetch broken
// off by Ctrl-C or close(), the system closing it) the next lookup that
// the metadata cache cannot answer opens a new one, under the waits of the
// serve_one that needs it; an open that fails is tried again by the next.
//
// fork(). A Server belongs to the process that registered it: in a forked
// child every method but program_id raises at once, and freeing it there
// closes the inherited sockets without sending anything.
#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include "ext/args.hpp"
#include "ext/convert.hpp"
#include "ext/errors.hpp"
#include "ext/module_state.hpp"
#include "ext/params.hpp"
#include "ext/signals.hpp"
#include "proto/invoke/invoke.hpp"
#include "proto/invoke/lookups.hpp"
#include "proto/metadata/describe.hpp"
#include "proto/net/fork.hpp"
#include "proto/net/waits.hpp"
#include "proto/server/registered_server.hpp"
#include "proto/session/metadata_cache.hpp"
#include "proto/session/open.hpp"
#include "wire/bytes.hpp"

namespace quib::ext {
namespace {

using proto::ExceptionReply;
using proto::Interruption;
using proto::ProtocolError;
using proto::RegisteredServer;
using proto::RfcConnection;
using proto::Waits;

constexpr std::string_view kServerClosed = "server is closed";
constexpr std::string_view kNeedProgramId = "server parameters need a program_id";
constexpr std::string_view kReentered =
    "serve_one cannot run inside a serve_one of the same Server (its callback, or a signal "
    "handler that runs while it waits)";
// The poll interval: the registration's read time-out. serve_one waits for
// a whole number of them.
constexpr std::chrono::seconds kPollInterval{2};
constexpr double kDefaultServeTimeout = 2.0;
constexpr double kMaxServeTimeout = 86400.0;
// How long closing the metadata session may wait for room in its socket's
// send buffer: close() returns at once, whatever the peer does.
constexpr std::chrono::milliseconds kMetadataCloseLimit{5};
// The ABAP message of every reply made from a failure on this side.
constexpr const char* kReplyMessageClass = "RURAD";
constexpr const char* kReplyMessageType = "E";
constexpr const char* kReplyMessageNumber = "000";
constexpr const char* kFunctionNotFound = "FU_NOT_FOUND";

constexpr const char* kServeOneDoc =
    "serve_one($self, /, callbacks, timeout=2.0)\n--\n\n"
    "Accept one inbound call and dispatch it.\n\n"
    "Returns the function name served, or `None` if nothing arrived before\n"
    "`timeout` expired.";
constexpr const char* kCloseDoc = "close($self)\n--\n\nDetach from the gateway. Idempotent.";

struct State {
  // Declared in this order so that they are dropped in the reverse one: the
  // registration first (it sends the detach record), then the metadata
  // session (its socket closes, without a closing exchange), then the name.
  std::string program_id;
  // The logon of the metadata session, kept to open it anew (the password
  // is wiped when the server is freed).
  proto::ConnectionParams client;
  // Made in the process that registered: a forked child sees it inherited.
  // The pid is only for the message that says so.
  proto::ForkStamp stamp;
  pid_t pid = ::getpid();
  std::mutex mutex;
  // Absent after close(), and when an open of a new one failed (the next
  // lookup tries again).
  std::optional<RfcConnection> metadata;
  std::optional<RegisteredServer> registration;
  // Under `mutex`: why the registration ended, once it has.
  std::optional<std::string> ended;
  // Set when an internal failure escaped while the mutex was held: the
  // state behind it may be half-updated, and the server no longer counts as
  // alive.
  bool broken = false;
  // The thread that holds the mutex (none while it is free).
  std::atomic<std::thread::id> owner{};
  // True from the registration until close(), the end of the registration
  // or an internal failure.
  std::atomic<bool> alive{false};

  // The waits of the serve_one under way, for close() from another thread.
  std::mutex serving_mutex;
  std::shared_ptr<Waits> serving;  // under serving_mutex
  bool closing = false;            // under serving_mutex: close() has begun
  // close() asked for by the serving thread itself (its callback, or a
  // signal handler during a wait); done when serve_one ends.
  std::atomic<bool> close_asked{false};
  // Whether serve_one is inside the callback; read and written by the
  // serving thread only.
  bool in_callback = false;
};

struct ServerObject {
  PyObject ob_base;  // PyObject_HEAD
  State* state;
};

State& state_of(PyObject* self) { return *reinterpret_cast<ServerObject*>(self)->state; }

// Holds the server mutex. Taking it never blocks with the interpreter lock
// held (lock_releasing_gil). A thread that already holds it (a callback
// using its own Server) does not get it: held() is false and the caller
// raises instead of waiting for itself forever.
class ServerLock {
 public:
  explicit ServerLock(State& s) : s_(s), exceptions_(std::uncaught_exceptions()) {
    const std::thread::id me = std::this_thread::get_id();
    if (s_.owner.load() == me) return;
    lock_releasing_gil(s_.mutex);
    s_.owner.store(me);
    held_ = true;
  }
  ~ServerLock() {
    if (!held_) return;
    if (std::uncaught_exceptions() > exceptions_) {
      s_.broken = true;
      s_.alive.store(false);
    }
    s_.owner.store(std::thread::id());
    s_.mutex.unlock();
  }
  ServerLock(const ServerLock&) = delete;
  ServerLock& operator=(const ServerLock&) = delete;

  bool held() const { return held_; }

 private:
  State& s_;
  int exceptions_;
  bool held_ = false;
};

std::nullptr_t raise_reentered(const ModuleState& ms) {
  return raise_external(ms, std::string(kReentered));
}

bool forked(const State& s) { return s.stamp.inherited(); }

std::nullptr_t raise_forked(const ModuleState& ms, const State& s) {
  return raise_external(
      ms, fmt::format("this Server was registered by process {} and cannot be used in the forked "
                      "process {}; create a new Server there",
                      s.pid, ::getpid()));
}

// With the mutex held: detaches, closes the metadata session (its closing
// record only when it can go out at once) and leaves the server closed.
void close_locked(State& s) {
  s.alive.store(false);
  s.ended.reset();
  // Dropping the registration sends the detach record and closes its
  // socket.
  s.registration.reset();
  std::optional<RfcConnection> metadata = std::exchange(s.metadata, std::nullopt);
  if (metadata) {
    metadata->set_waits(std::make_shared<Waits>(
        proto::saturating_deadline(proto::Clock::now(), kMetadataCloseLimit)));
    without_gil([&] { (void)std::move(*metadata).close(); });
  }
}

// With the mutex held, after `error` ended the registration: it goes (its
// socket closes; there is nobody left to detach from) and every later
// serve_one says why.
void end_registration(State& s, const ProtocolError& error) {
  s.alive.store(false);
  s.ended = error.message();
  s.registration.reset();
}

// ---------------------------------------------------------------- arguments

proto::ServerParams server_params_from(const ParamMap& m) {
  proto::ServerParams p = proto::ServerParams::defaults();
  if (const auto* v = find_param(m, "gwhost")) p.gwhost = *v;
  if (const auto* v = find_param(m, "gwserv")) p.gwserv = *v;
  if (const auto* v = find_param(m, "program_id")) p.program_id = *v;
  // Waits for calls go in polls of this length.
  p.read_timeout = kPollInterval;
  return p;
}

// A number as the timeout message shows it.
std::string number_text(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  return fmt::format("{}", v);
}

// ---------------------------------------------------------------- Python helpers

// The pending Python exception, normalised and taken out (null when none).
PyRef take_exception() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) return PyRef();
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef t(type), tb(traceback);
  if (value && traceback) PyException_SetTraceback(value, traceback);
  return PyRef(value);
}

// Sets `exc` (a normalised exception, as take_exception gives it) as the
// current Python error again.
void restore_exception(PyRef exc) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc.get()));
  Py_INCREF(type);
  PyObject* traceback = PyException_GetTraceback(exc.get());
  PyErr_Restore(type, exc.release(), traceback);
}

// str(obj) as UTF-8; an empty text when there is no object or str() fails.
std::string shown(PyObject* obj) {
  if (!obj) return {};
  auto text = str_of(obj);
  if (!text) PyErr_Clear();
  return text.value_or(std::string());
}

PyObject* context_dict(const wire::InboundCall& call) {
  PyRef d(PyDict_New());
  if (!d || !set_texts(d.get(), {{"function", call.function},
                                 {"destination", call.destination},
                                 {"user", call.user},
                                 {"client", call.client},
                                 {"system_id", call.system_id},
                                 {"caller_host", call.caller_host},
                                 {"program", call.program}}))
    return nullptr;
  return d.release();
}

ExceptionReply reply_message(std::string text) {
  return ExceptionReply::abap_message(kReplyMessageClass, kReplyMessageNumber, kReplyMessageType,
                                      {std::move(text)});
}

// The reply for an exception that a callback raised: its `key` when that is
// a non-empty str, otherwise an ABAP message with str() of the exception.
ExceptionReply callback_error_reply(PyObject* exc) {
  if (exc) {
    PyRef key(PyObject_GetAttrString(exc, "key"));
    if (!key) {
      PyErr_Clear();
    } else if (PyUnicode_Check(key.get())) {
      std::string text;
      if (str_to_utf8(key.get(), text)) {
        if (!text.empty()) return ExceptionReply::exception_key(std::move(text));
      } else {
        PyErr_Clear();
      }
    }
  }
  return reply_message(shown(exc));
}

// The exception as a problem text: its class name, ": " and str() of it.
std::string exception_text(PyObject* exc) { return type_name_of(exc) + ": " + shown(exc); }

// The received parameters as keyword arguments: each parameter the
// description knows, decoded by its type (raw bytes when that fails) and
// stored under the name as sent. Received tables are not passed.
PyObject* parameters_dict(ModuleState& ms, const wire::InboundCall& call,
                          const proto::FunctionDescription& d) {
  PyRef kwargs(PyDict_New());
  if (!kwargs) return nullptr;
  const ReadFlags flags{true, false};
  for (const auto& [name, raw] : call.parameters) {
    const proto::ParameterDescription* p = d.find_parameter(name);
    if (!p) continue;
    auto decoded = wire::decode_field_value_latin1(raw, p->type);
    PyRef value;
    if (decoded) {
      value = PyRef(value_to_py(ms, name, p->type, decoded.value(), flags));
    } else {
      value = PyRef(value_to_py(ms, name, wire::AbapType::Byte, wire::RfcValue::bytes(raw), flags));
    }
    if (!value) return nullptr;
    PyRef key(str_from_utf8(name));
    if (!key || PyDict_SetItem(kwargs.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return kwargs.release();
}

// ---------------------------------------------------------------- serve_one

// The end of serve_one's wait for a call: the first poll interval to
// expire at or after `timeout` seconds from `start`; one at least.
proto::TimePoint poll_deadline(proto::TimePoint start, double timeout) {
  constexpr double poll = std::chrono::duration<double>(kPollInterval).count();
  const double polls = std::max(1.0, std::ceil(timeout / poll));
  return proto::saturating_deadline(start, std::chrono::duration_cast<proto::Duration>(
                                               std::chrono::duration<double>(polls * poll)));
}

// One serve_one with the mutex held: its waits are what close() from
// another thread interrupts, and what the registration and the metadata
// session wait under for as long as it runs.
class Serve {
 public:
  Serve(ModuleState& ms, State& s, std::shared_ptr<Waits> waits,
        std::shared_ptr<SignalCatch> signals)
      : ms_(ms), s_(s), waits_(std::move(waits)), signals_(std::move(signals)) {
    std::lock_guard<std::mutex> guard(s_.serving_mutex);
    s_.serving = waits_;
    // A close() that began before this serve_one got the mutex.
    if (s_.closing) waits_->interrupt(Interruption::Closed);
  }
  ~Serve() {
    {
      std::lock_guard<std::mutex> guard(s_.serving_mutex);
      s_.serving.reset();
    }
    if (s_.registration) s_.registration->set_waits(nullptr);
    if (s_.metadata) s_.metadata->set_waits(nullptr);
    signals_->clear();
    if (s_.close_asked.exchange(false)) close_locked(s_);
  }
  Serve(const Serve&) = delete;
  Serve& operator=(const Serve&) = delete;

  PyObject* run(PyObject* callbacks);

 private:
  PyObject* dispatch(PyObject* callbacks);
  PyObject* answer_with_result(const proto::FunctionDescription& d, PyObject* result);
  // One entry of the dict a callback returned, for parameter `p`: the
  // export it sends, converted and encoded for the parameter's field.
  // Nothing when the value is refused (`problem` says why) or when a lookup
  // it needed was broken off (`problem` stays empty).
  std::optional<proto::ExportValue> export_value(const proto::FunctionDescription& d,
                                                 const proto::ParameterDescription& p,
                                                 std::string_view key, PyObject* value,
                                                 std::optional<std::string>& problem);
  // The problem text of a returned value that was refused with the pending
  // Python exception (which is taken): the key, then the exception as text.
  std::string refused(std::string_view key);
  // The same for a refusal or failed lookup of the protocol layer: the
  // exception a Connection raises for `error`.
  std::string refused(std::string_view key, const ProtocolError& error);

  // `f(session)` on the metadata session with the interpreter lock
  // released, the session waiting under this serve_one's waits. A session
  // whose conversation has ended still answers from the metadata cache;
  // when it cannot (or there is none), a new one is opened under the same
  // waits and asked instead.
  template <class F>
  auto with_metadata(F&& f);

  // What serve_one returns once its waits were broken off: None when
  // close() ended it; the exception of a signal handler, raised.
  PyObject* broken_off();
  // After a failed step: when `error` ended the registration, the
  // registration goes.
  void settle(const ProtocolError& error);
  // Sends a reply with the interpreter lock released. False when that
  // failed, with `out` set to what serve_one returns then.
  template <class F>
  bool send(F&& f, PyObject*& out);
  // Sends `reply`; the function name, or what a failed send leaves.
  PyObject* answer(const ExceptionReply& reply);
  // The Python error that stopped serve_one before it had answered: the
  // ABAP caller gets it as an ABAP message, then it is raised.
  std::nullptr_t unanswered();
  PyObject* served() const { return str_from_utf8(call_->function); }

  ModuleState& ms_;
  State& s_;
  std::shared_ptr<Waits> waits_;
  std::shared_ptr<SignalCatch> signals_;
  std::optional<wire::InboundCall> call_;
};

PyObject* Serve::broken_off() {
  if (waits_->interrupted() == Interruption::Closed) Py_RETURN_NONE;
  if (signals_->restore()) return nullptr;
  return raise_external(ms_, std::string(proto::interruption_text(waits_->interrupted())));
}

void Serve::settle(const ProtocolError& error) {
  if (s_.registration && s_.registration->ended()) end_registration(s_, error);
}

template <class F>
bool Serve::send(F&& f, PyObject*& out) {
  proto::ProtoStatus sent = without_gil(std::forward<F>(f));
  if (sent) return true;
  settle(sent.error());
  out = waits_->was_interrupted() ? broken_off() : raise_protocol_error(ms_, sent.error());
  return false;
}

PyObject* Serve::answer(const ExceptionReply& reply) {
  PyObject* out = nullptr;
  RegisteredServer& reg = *s_.registration;
  if (!send([&] { return reg.send_exception_reply(reply); }, out)) return out;
  return served();
}

std::nullptr_t Serve::unanswered() {
  PyRef exc = take_exception();
  if (!exc) return nullptr;
  const ExceptionReply reply = reply_message(exception_text(exc.get()));
  PyObject* out = nullptr;
  RegisteredServer& reg = *s_.registration;
  if (!send([&] { return reg.send_exception_reply(reply); }, out)) {
    // What stopped serve_one matters more than the failed reply.
    Py_XDECREF(out);
    PyErr_Clear();
  }
  restore_exception(std::move(exc));
  return nullptr;
}

// Whether `error` is the refusal of a session whose conversation had
// already ended: the lookup needed the session, not just the cache.
bool ended_conversation(const ProtocolError& error) {
  const proto::IoError* io = error.get<proto::IoError>();
  return io != nullptr && io->kind == proto::IoError::NotConnected;
}

template <class F>
auto Serve::with_metadata(F&& f) {
  using R = std::invoke_result_t<F&, RfcConnection&>;
  return without_gil([&]() -> R {
    if (s_.metadata) {
      RfcConnection& metadata = *s_.metadata;
      const bool was_alive = metadata.alive();
      metadata.set_waits(waits_);
      R got = f(metadata);
      metadata.set_waits(nullptr);
      // A session that was alive keeps its answer, a failure included: a
      // conversation that ended during this lookup is opened anew by the
      // next one. So does one that failed for any other reason than its
      // ended conversation (a value its field refuses).
      if (got || was_alive || waits_->was_interrupted() || !ended_conversation(got.error()))
        return got;
    }
    // Dropping the ended session closes its socket; nothing goes out.
    s_.metadata.reset();
    auto opened = proto::open_direct(s_.client, proto::metadata_cache(), waits_);
    if (!opened) return wire::err(std::move(opened).error());
    RfcConnection& metadata = s_.metadata.emplace(std::move(opened).value());
    R got = f(metadata);
    metadata.set_waits(nullptr);
    return got;
  });
}

PyObject* Serve::run(PyObject* callbacks) {
  RegisteredServer& reg = *s_.registration;
  reg.set_waits(waits_);
  auto got = without_gil([&] { return reg.receive_call(); });
  if (!got) {
    settle(got.error());
    if (waits_->was_interrupted()) return broken_off();
    if (got.error().is_timeout()) Py_RETURN_NONE;
    return raise_protocol_error(ms_, got.error());
  }
  call_.emplace(std::move(got).value());
  // A call that has arrived is served whatever the deadline: from here on
  // each step has its own fixed limit, and close() and signals still end
  // it.
  waits_->set_deadline(std::nullopt);
  return dispatch(callbacks);
}

PyObject* Serve::dispatch(PyObject* callbacks) {
  const wire::InboundCall& call = *call_;

  // The interface first, the callback after; a failed fetch is acted on
  // only once it is known that there is a callback to call.
  auto description = with_metadata([&](RfcConnection& metadata) {
    return proto::function_description(metadata, call.function);
  });
  if (waits_->was_interrupted()) return broken_off();

  PyRef name(str_from_utf8(call.function));
  if (!name) return unanswered();
  PyObject* callback = PyDict_GetItemWithError(callbacks, name.get());  // borrowed
  if (!callback && PyErr_Occurred()) return unanswered();
  if (!callback) return answer(ExceptionReply::exception_key(kFunctionNotFound));
  PyRef hold_callback = PyRef::borrow(callback);
  if (!description) return answer(reply_message(description.error().message()));
  const proto::FunctionDescription& d = *description.value();

  PyRef kwargs(parameters_dict(ms_, call, d));
  if (!kwargs) return unanswered();
  PyRef context(context_dict(call));
  if (!context) return unanswered();
  PyRef args(PyTuple_Pack(1, context.get()));
  if (!args) return unanswered();

  s_.in_callback = true;
  PyRef result(PyObject_Call(hold_callback.get(), args.get(), kwargs.get()));
  s_.in_callback = false;
  if (!result) {
    // Every exception the callback raised is answered, whatever its class,
    // and not raised further.
    PyRef exc = take_exception();
    const ExceptionReply reply = callback_error_reply(exc.get());
    PyErr_Clear();
    return answer(reply);
  }
  return answer_with_result(d, result.get());
}

// What a callback returned, as the reply. Whatever it is, the caller gets an
// answer: the exports, or an ABAP message naming the first thing wrong with
// the result, after which serve_one raises that too.
PyObject* Serve::answer_with_result(const proto::FunctionDescription& d, PyObject* result) {
  const wire::InboundCall& call = *call_;
  RegisteredServer& reg = *s_.registration;
  std::vector<proto::ExportValue> exports;
  // What is wrong with the result; the walk stops at the first problem.
  std::optional<std::string> problem;
  bool key_type = false;
  if (PyDict_Check(result)) {
    auto refuse_key = [&](PyObject* key) {
      key_type = true;
      problem = fmt::format("a dict key of type {}; the keys name parameters and must be str",
                            type_name_of(key));
    };
    // The walk goes over a snapshot of the items, so that the interpreter
    // lock can be released for the lookups of an entry.
    const bool walked =
        for_each_item_with(result, refuse_key, [&](std::string key, PyObject* value) {
          const proto::ParameterDescription* p = d.find_parameter(key);
          if (!p) {
            problem = no_such_parameter(call.function, key);
          } else if (p->direction.kind == proto::ParamDirection::Import) {
            problem = fmt::format("{} is an import parameter; a server cannot return it",
                                  debug_quote(key));
          } else if (auto e = export_value(d, *p, key, value, problem)) {
            exports.push_back(std::move(*e));
            return true;
          }
          return false;
        });
    if (waits_->was_interrupted()) return broken_off();
    if (!walked && !problem) {
      // The walk itself failed (a key that is no valid text, no memory).
      PyRef exc = take_exception();
      problem = exception_text(exc.get());
    }
  }
  // Any other result sends back no values.
  wire::Bytes container;
  if (!problem) {
    auto built = proto::build_reply_container(reg.program_id(), call, exports);
    if (built) {
      container = std::move(built).value();
    } else {
      problem = built.error().message();
    }
  }
  PyObject* out = nullptr;
  if (problem) {
    const ExceptionReply reply = reply_message(*problem);
    if (!send([&] { return reg.send_exception_reply(reply); }, out)) return out;
    const std::string message =
        fmt::format("the handler for {} returned {}", call.function, *problem);
    if (key_type) {
      set_type_error(message);
      return nullptr;
    }
    return raise_external(ms_, message);
  }
  if (!send([&] { return reg.send_reply(proto::ReplyKind::Normal, container); }, out)) return out;
  return served();
}

bool is_structure(const proto::ParameterDescription& p) {
  return p.type.kind == wire::AbapType::Structure || p.type.kind == wire::AbapType::DeepStructure;
}

std::optional<proto::ExportValue> Serve::export_value(const proto::FunctionDescription& d,
                                                      const proto::ParameterDescription& p,
                                                      std::string_view key, PyObject* value,
                                                      std::optional<std::string>& problem) {
  std::optional<wire::RfcValue> v;
  if (is_structure(p) && !p.type_name.empty() && PyDict_Check(value)) {
    // A structure given as a dict: its image, each field held to its
    // field as a Connection holds a structure import.
    auto layout = with_metadata(
        [&](RfcConnection& metadata) { return proto::describe_structure(metadata, p.type_name); });
    if (waits_->was_interrupted()) return std::nullopt;
    if (!layout) {
      problem = refused(key, layout.error());
      return std::nullopt;
    }
    auto image = dict_to_structure(ms_, *layout.value(), value, p.name);
    if (!image) {
      problem = refused(key);
      return std::nullopt;
    }
    v = wire::RfcValue::bytes(std::move(*image));
  } else {
    v = py_to_value(ms_, p.name, p.type, value);
    if (!v) {
      problem = refused(key);
      return std::nullopt;
    }
  }
  // The field's bytes, by the encoder of a Connection's imports: an export
  // travels in the same ParameterValue record.
  const proto::ValueImport one[] = {{p.name, std::move(*v)}};
  auto encoded = with_metadata(
      [&](RfcConnection& metadata) { return proto::encode_imports(metadata, d, one); });
  if (waits_->was_interrupted()) return std::nullopt;
  if (!encoded) {
    problem = refused(key, encoded.error());
    return std::nullopt;
  }
  return proto::ExportValue(p.name,
                            wire::RfcValue::bytes(std::move(encoded.value().front().bytes)));
}

std::string Serve::refused(std::string_view key) {
  PyRef exc = take_exception();
  return fmt::format("{}: {}", debug_quote(key), exception_text(exc.get()));
}

std::string Serve::refused(std::string_view key, const ProtocolError& error) {
  raise_protocol_error(ms_, error);
  return refused(key);
}

PyObject* serve_locked(ModuleState& ms, State& s, PyObject* callbacks, proto::TimePoint deadline) {
  if (!s.registration || s.broken) {
    if (s.ended)
      return raise_error(ms, rfc::kClosed, fmt::format("registration ended: {}", *s.ended));
    return raise_external(ms, std::string(kServerClosed));
  }
  auto signals = std::make_shared<SignalCatch>();
  auto waits = Waits::interruptible(deadline, [signals] { return signals->look(); });
  if (!waits) return raise_protocol_error(ms, ProtocolError(std::move(waits).error()));
  Serve serve(ms, s, std::move(waits).value(), std::move(signals));
  return serve.run(callbacks);
}

PyObject* method_serve_one(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    ModuleState& ms = module_state(cls);
    static constexpr const char* kNames[] = {"callbacks", "timeout"};
    PyObject* given[2];
    if (!parse_arguments("serve_one", kNames, 1, args, nargs, kwnames, given)) return nullptr;
    auto [callbacks, timeout_obj] = given;
    if (!check_dict(callbacks, "serve_one() argument 'callbacks'")) return nullptr;
    double timeout = kDefaultServeTimeout;
    if (timeout_obj) {
      timeout = PyFloat_AsDouble(timeout_obj);
      if (timeout == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
        PyErr_Clear();
        refuse_type("serve_one() argument 'timeout'", "a number", timeout_obj);
        return nullptr;
      }
    }
    if (!std::isfinite(timeout)) {
      return raise_external(ms, fmt::format("timeout must be a finite number of seconds, got {}",
                                            number_text(timeout)));
    }
    timeout = std::clamp(timeout, 0.0, kMaxServeTimeout);
    const proto::TimePoint deadline = poll_deadline(proto::Clock::now(), timeout);
    State& s = state_of(self);
    if (forked(s)) return raise_forked(ms, s);
    // The callbacks dict stays alive for the whole call.
    PyRef hold = PyRef::borrow(callbacks);
    ServerLock lock(s);
    if (!lock.held()) return raise_reentered(ms);
    return serve_locked(ms, s, callbacks, deadline);
  });
}

// ---------------------------------------------------------------- the rest

PyObject* method_close(PyObject* self, PyTypeObject* cls, PyObject* const*, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!parse_no_arguments("Server.close", nargs, kwnames)) return nullptr;
    State& s = state_of(self);
    if (forked(s)) return raise_forked(module_state(cls), s);
    s.alive.store(false);
    if (s.owner.load() == std::this_thread::get_id()) {
      // From inside serve_one on this thread: its callback, or a signal
      // handler running during one of its waits. serve_one closes the
      // server when it ends; a wait in progress ends now, a callback's
      // answer still goes out.
      s.close_asked.store(true);
      if (!s.in_callback) {
        std::lock_guard<std::mutex> guard(s.serving_mutex);
        if (s.serving) s.serving->interrupt(Interruption::Closed);
      }
      Py_RETURN_NONE;
    }
    {
      std::lock_guard<std::mutex> guard(s.serving_mutex);
      s.closing = true;
      if (s.serving) s.serving->interrupt(Interruption::Closed);
    }
    ServerLock lock(s);
    close_locked(s);
    Py_RETURN_NONE;
  });
}

PyObject* get_alive(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    State& s = state_of(self);
    if (forked(s)) return raise_forked(module_state_of(self), s);
    return PyBool_FromLong(s.alive.load());
  });
}

PyObject* get_program_id(PyObject* self, void*) {
  return guarded<PyObject*>(
      nullptr, [&]() -> PyObject* { return str_from_utf8(state_of(self).program_id); });
}

// The Python error of a failed step of the construction: the exception of
// a signal handler that broke it off, else `error` as it maps.
std::nullptr_t raise_open_error(const ModuleState& ms, const Waits& waits, SignalCatch& signals,
                                const ProtocolError& error) {
  if (waits.interrupted() == Interruption::Aborted && signals.restore()) return nullptr;
  return raise_protocol_error(ms, error);
}

PyObject* server_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    ModuleState& ms = module_state(type);
    static const char* keywords[] = {"server_params", "client_params", nullptr};
    PyObject* server_obj = nullptr;
    PyObject* client_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Server", const_cast<char**>(keywords),
                                     &server_obj, &client_obj))
      return nullptr;
    ParamMap server_map, client_map;
    WipeParamsOnExit wipe_client(client_map);
    if (!extract_text_dict(server_obj, "Server() argument 'server_params'", server_map) ||
        !extract_text_dict(client_obj, "Server() argument 'client_params'", client_map))
      return nullptr;
    if (!find_param(server_map, "program_id"))
      return raise_external(ms, std::string(kNeedProgramId));

    // The registration and the logon wait under waits of their own, so that
    // Ctrl-C ends them.
    auto signals = std::make_shared<SignalCatch>();
    auto made = Waits::interruptible(std::nullopt, [signals] { return signals->look(); });
    if (!made) return raise_protocol_error(ms, ProtocolError(std::move(made).error()));
    const std::shared_ptr<Waits> waits = std::move(made).value();

    auto state = std::make_unique<State>();
    state->program_id = *find_param(server_map, "program_id");
    const proto::ServerParams sp = server_params_from(server_map);
    auto registered = without_gil([&] { return proto::register_at_gateway(sp, waits); });
    if (!registered) return raise_open_error(ms, *waits, *signals, registered.error());
    state->registration.emplace(std::move(registered).value());

    state->client = logon_params(client_map);
    auto opened = without_gil(
        [&] { return proto::open_direct(state->client, proto::metadata_cache(), waits); });
    if (!opened) {
      state->registration.reset();  // detaches before the error is raised
      return raise_open_error(ms, *waits, *signals, opened.error());
    }
    state->metadata.emplace(std::move(opened).value());
    state->metadata->set_waits(nullptr);
    signals->clear();

    PyObject* self = alloc_instance(type);
    if (!self) return nullptr;
    state->alive.store(true);
    reinterpret_cast<ServerObject*>(self)->state = state.release();
    return self;
  });
}

void server_dealloc(PyObject* self) {
  State* state = reinterpret_cast<ServerObject*>(self)->state;
  if (state && forked(*state)) {
    // In a forked child nothing may go out on the inherited connections:
    // their sockets are closed silently. When a thread of the parent held
    // the server at the fork, its lock is never free here and the state
    // stays as it is.
    if (state->mutex.try_lock()) {
      if (state->registration) state->registration->abandon();
      state->metadata.reset();  // dropping sends nothing
      state->mutex.unlock();
      delete state;
    }
  } else {
    delete state;
  }
  free_instance(self);
}

PyMethodDef server_methods[] = {
    {"serve_one", as_cfunction(method_serve_one), METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     kServeOneDoc},
    {"close", as_cfunction(method_close), METH_METHOD | METH_FASTCALL | METH_KEYWORDS, kCloseDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef server_getset[] = {
    {"alive", get_alive, nullptr, nullptr, nullptr},
    {"program_id", get_program_id, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot server_slots[] = {
    {Py_tp_doc, const_cast<char*>("Server(server_params, client_params)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(server_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(server_dealloc)},
    {Py_tp_methods, server_methods},
    {Py_tp_getset, server_getset},
    {0, nullptr},
};

PyType_Spec spec = {
    "lomra._quib_lomra.Server", sizeof(ServerObject), 0, Py_TPFLAGS_DEFAULT, server_slots,
};

}  // namespace

PyType_Spec* server_spec() { return &spec; }

}  // namespace quib::ext
