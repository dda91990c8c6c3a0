#include "ext/connection/describe.hpp"

#include <string>
#include <utility>

#include "proto/base/unicode_case.hpp"
#include "proto/session/logon.hpp"
#include "wire/utf.hpp"

namespace quib::ext {
namespace {

using wire::AbapType;

std::string type_label(AbapType t) {
  if (t.kind == AbapType::Unknown)
    return "Unknown(" + char_literal(static_cast<unsigned char>(t.letter)) + ")";
  return std::string(wire::kind_name(t.kind));
}

std::string direction_label(const proto::ParamDirection& d) {
  if (d.kind == proto::ParamDirection::Unknown)
    return proto::full_upper("Unknown(" + char_literal(d.letter) + ")");
  return wire::ascii_upper(d.name());
}

}  // namespace

PyObject* description_to_py(const proto::FunctionDescription& d) {
  PyRef result(PyDict_New());
  PyRef params(PyList_New(0));
  if (!result || !params) return nullptr;
  for (const auto& p : d.parameters) {
    PyRef entry(PyDict_New());
    if (!entry) return nullptr;
    if (!set_item(entry.get(), "name", str_from_utf8(p.name)) ||
        !set_item(entry.get(), "parameter_type", str_from_utf8(type_label(p.type))) ||
        !set_item(entry.get(), "direction", str_from_utf8(direction_label(p.direction))) ||
        !set_item(entry.get(), "nuc_length", PyLong_FromUnsignedLong(p.length)) ||
        !set_item(entry.get(), "type_description", str_from_utf8(p.type_name)))
      return nullptr;
    if (PyList_Append(params.get(), entry.get()) < 0) return nullptr;
  }
  if (!set_item(result.get(), "name", str_from_utf8(d.name)) ||
      !set_item(result.get(), "parameters", params.release()))
    return nullptr;
  return result.release();
}

PyObject* attributes_to_py(const proto::ConnectionAttributes& a, std::string_view session_id,
                           const proto::ConnectionParams& p) {
  const std::string language = proto::logon_language(p.lang);
  PyRef d(PyDict_New());
  if (!d || !set_texts(d.get(), {{"host", a.system_host},
                                 {"sysId", a.system_id},
                                 {"sysNumber", a.system_number},
                                 {"kernelRel", a.kernel_release},
                                 {"partnerCodepage", a.system_code_page},
                                 {"systemName", a.system_name},
                                 {"client", p.client},
                                 {"user", p.user},
                                 {"language", language},
                                 {"progName", p.program_name},
                                 {"sessionId", session_id}}))
    return nullptr;
  return d.release();
}

}  // namespace quib::ext
