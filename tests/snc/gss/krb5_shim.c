/* A GSS-API library for the SNC tests that forwards to MIT Kerberos
 * (libgssapi_krb5.so.2, loaded with dlopen), so that the adapter can be
 * tried against a real mechanism. MIT Kerberos knows neither the SNC name
 * type nor the SNC mechanism, so this shim maps them:
 *
 *   SNC name type   -> GSS_C_NT_HOSTBASED_SERVICE ("service@host"); an
 *                      empty SNC name stands for the default identity
 *                      (GSS_C_NO_NAME)
 *   SNC mechanism   -> the Kerberos 5 mechanism
 *   gss_export_name -> the name canonicalized for Kerberos 5 first (MIT
 *                      exports mechanism names only)
 *
 * Everything else is passed through unchanged. Test-only code: MIT's
 * headers are used here as the oracle's own. */
#include <dlfcn.h>
#include <gssapi/gssapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define EXPORT __attribute__((visibility("default")))

static const unsigned char snc_name_type[6] = {0x2B, 0x24, 0x03, 0x01, 0x26, 0x01};
static const unsigned char snc_mechanism[6] = {0x2B, 0x24, 0x03, 0x01, 0x25, 0x01};

/* 1.2.840.113554.1.2.1.4 and 1.2.840.113554.1.2.2 */
static unsigned char hostbased_bytes[] = {0x2A, 0x86, 0x48, 0x86, 0xF7,
                                          0x12, 0x01, 0x02, 0x01, 0x04};
static unsigned char krb5_bytes[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x12, 0x01, 0x02, 0x02};
static gss_OID_desc hostbased_oid = {sizeof hostbased_bytes, hostbased_bytes};
static gss_OID_desc krb5_oid = {sizeof krb5_bytes, krb5_bytes};

/* The stand-in for an empty SNC name. */
static char default_identity;
#define DEFAULT_NAME ((gss_name_t)&default_identity)

static void* real_library(void) {
  static void* handle;
  if (handle == NULL) {
    handle = dlopen("libgssapi_krb5.so.2", RTLD_NOW | RTLD_LOCAL);
    if (handle == NULL) {
      fprintf(stderr, "krb5 shim: %s\n", dlerror());
      abort();
    }
  }
  return handle;
}

#define REAL(name) ((__typeof__(&name))real_symbol(#name))

static void* real_symbol(const char* name) {
  void* f = dlsym(real_library(), name);
  if (f == NULL) {
    fprintf(stderr, "krb5 shim: libgssapi_krb5 lacks %s\n", name);
    abort();
  }
  return f;
}

static int oid_is(gss_OID oid, const unsigned char* body) {
  return oid != GSS_C_NO_OID && oid->length == 6 && memcmp(oid->elements, body, 6) == 0;
}

static gss_OID mechanism(gss_OID mech) { return oid_is(mech, snc_mechanism) ? &krb5_oid : mech; }

static gss_name_t real_name(gss_name_t name) { return name == DEFAULT_NAME ? GSS_C_NO_NAME : name; }

EXPORT OM_uint32 gss_import_name(OM_uint32* minor, gss_buffer_t name, gss_OID type,
                                 gss_name_t* out) {
  if (oid_is(type, snc_name_type)) {
    if (name->length == 0) {
      *minor = 0;
      *out = DEFAULT_NAME;
      return GSS_S_COMPLETE;
    }
    type = &hostbased_oid;
  }
  return REAL(gss_import_name)(minor, name, type, out);
}

EXPORT OM_uint32 gss_release_name(OM_uint32* minor, gss_name_t* name) {
  if (name != NULL && *name == DEFAULT_NAME) {
    *minor = 0;
    *name = GSS_C_NO_NAME;
    return GSS_S_COMPLETE;
  }
  return REAL(gss_release_name)(minor, name);
}

EXPORT OM_uint32 gss_acquire_cred(OM_uint32* minor, gss_name_t desired, OM_uint32 time_req,
                                  gss_OID_set mechs, gss_cred_usage_t usage, gss_cred_id_t* out,
                                  gss_OID_set* actual, OM_uint32* time_rec) {
  return REAL(gss_acquire_cred)(minor, real_name(desired), time_req, mechs, usage, out, actual,
                                time_rec);
}

EXPORT OM_uint32 gss_release_cred(OM_uint32* minor, gss_cred_id_t* cred) {
  return REAL(gss_release_cred)(minor, cred);
}

EXPORT OM_uint32 gss_init_sec_context(OM_uint32* minor, gss_cred_id_t cred, gss_ctx_id_t* context,
                                      gss_name_t target, gss_OID mech, OM_uint32 flags,
                                      OM_uint32 time_req, gss_channel_bindings_t bindings,
                                      gss_buffer_t input, gss_OID* actual_mech, gss_buffer_t output,
                                      OM_uint32* ret_flags, OM_uint32* time_rec) {
  return REAL(gss_init_sec_context)(minor, cred, context, real_name(target), mechanism(mech), flags,
                                    time_req, bindings, input, actual_mech, output, ret_flags,
                                    time_rec);
}

EXPORT OM_uint32 gss_delete_sec_context(OM_uint32* minor, gss_ctx_id_t* context,
                                        gss_buffer_t output) {
  return REAL(gss_delete_sec_context)(minor, context, output);
}

EXPORT OM_uint32 gss_wrap(OM_uint32* minor, gss_ctx_id_t context, int conf_req, gss_qop_t qop,
                          gss_buffer_t input, int* conf_state, gss_buffer_t output) {
  return REAL(gss_wrap)(minor, context, conf_req, qop, input, conf_state, output);
}

EXPORT OM_uint32 gss_unwrap(OM_uint32* minor, gss_ctx_id_t context, gss_buffer_t input,
                            gss_buffer_t output, int* conf_state, gss_qop_t* qop_state) {
  return REAL(gss_unwrap)(minor, context, input, output, conf_state, qop_state);
}

EXPORT OM_uint32 gss_release_buffer(OM_uint32* minor, gss_buffer_t buffer) {
  return REAL(gss_release_buffer)(minor, buffer);
}

EXPORT OM_uint32 gss_export_name(OM_uint32* minor, gss_name_t name, gss_buffer_t out) {
  gss_name_t canonical = GSS_C_NO_NAME;
  OM_uint32 major = REAL(gss_canonicalize_name)(minor, real_name(name), &krb5_oid, &canonical);
  if (major != GSS_S_COMPLETE) return major;
  major = REAL(gss_export_name)(minor, canonical, out);
  OM_uint32 ignored;
  REAL(gss_release_name)(&ignored, &canonical);
  return major;
}

EXPORT OM_uint32 gss_display_status(OM_uint32* minor, OM_uint32 value, int type, gss_OID mech,
                                    OM_uint32* message_context, gss_buffer_t text) {
  return REAL(gss_display_status)(minor, value, type, mechanism(mech), message_context, text);
}
