/* The scripted GSS-API library of the adapter's tests; see fake_gss.h. */
#include "fake_gss.h"

#include <stdlib.h>
#include <string.h>

#define EXPORT __attribute__((visibility("default")))

typedef uint32_t OM_uint32;
typedef struct {
  size_t length;
  void* value;
} buffer_desc;
typedef struct {
  OM_uint32 length;
  void* elements;
} oid_desc;

#define GSS_S_COMPLETE 0u
#define GSS_S_BAD_NAME (2u << 16)
#define GSS_S_BAD_STATUS (5u << 16)
#define GSS_S_DEFECTIVE_TOKEN (9u << 16)
#define GSS_S_NO_CONTEXT (8u << 16)

static struct fake_gss state;

static const unsigned char snc_name_type[6] = {0x2B, 0x24, 0x03, 0x01, 0x26, 0x01};
static const unsigned char snc_mechanism[6] = {0x2B, 0x24, 0x03, 0x01, 0x25, 0x01};

struct fake_name {
  int index; /* import call number */
  size_t length;
  char text[FAKE_NAME_MAX];
};
struct fake_cred {
  int magic;
};
struct fake_ctx {
  uint32_t steps;
};

static struct fake_cred* last_cred;
static struct fake_name* names[FAKE_MAX_IMPORTS];

EXPORT struct fake_gss* fake_gss_state(void) { return &state; }

EXPORT void fake_gss_reset(void) {
  memset(&state, 0, sizeof state);
  last_cred = NULL;
  memset(names, 0, sizeof names);
}

static int oid_is(const oid_desc* oid, const unsigned char* body) {
  return oid != NULL && oid->length == 6 && oid->elements != NULL &&
         memcmp(oid->elements, body, 6) == 0;
}

static OM_uint32 fail(OM_uint32* minor, OM_uint32 major) {
  if (minor) *minor = state.minor_status;
  return major;
}

static void hand_out(buffer_desc* out, const void* bytes, size_t n) {
  out->length = n;
  out->value = malloc(n ? n : 1);
  if (n) memcpy(out->value, bytes, n);
  state.live_buffers++;
}

static void hand_out_text(buffer_desc* out, const char* text) { hand_out(out, text, strlen(text)); }

EXPORT OM_uint32 gss_release_buffer(OM_uint32* minor, buffer_desc* buffer) {
  state.release_buffer_calls++;
  if (minor) *minor = 0;
  if (buffer && buffer->value) {
    free(buffer->value);
    state.live_buffers--;
  }
  if (buffer) {
    buffer->value = NULL;
    buffer->length = 0;
  }
  return GSS_S_COMPLETE;
}

EXPORT OM_uint32 gss_import_name(OM_uint32* minor, buffer_desc* input, oid_desc* type,
                                 struct fake_name** out) {
  const uint32_t i = state.import_calls++;
  if (i < FAKE_MAX_IMPORTS) {
    size_t n = input->length < FAKE_NAME_MAX - 1 ? input->length : FAKE_NAME_MAX - 1;
    if (input->value) memcpy(state.imported[i], input->value, n);
    state.imported[i][n] = 0;
    state.imported_len[i] = input->length;
    state.imported_value_null[i] = input->value == NULL;
    state.import_oid_is_snc[i] = oid_is(type, snc_name_type);
    if (state.import_major[i]) return fail(minor, state.import_major[i]);
  }
  struct fake_name* name = calloc(1, sizeof *name);
  name->index = (int)i;
  name->length = input->length < FAKE_NAME_MAX ? input->length : FAKE_NAME_MAX;
  if (input->value) memcpy(name->text, input->value, name->length);
  if (i < FAKE_MAX_IMPORTS) names[i] = name;
  *out = name;
  state.live_names++;
  if (minor) *minor = 0;
  return GSS_S_COMPLETE;
}

EXPORT OM_uint32 gss_release_name(OM_uint32* minor, struct fake_name** name) {
  state.release_name_calls++;
  if (minor) *minor = 0;
  if (name && *name) {
    if ((*name)->index < FAKE_MAX_IMPORTS) names[(*name)->index] = NULL;
    free(*name);
    *name = NULL;
    state.live_names--;
  }
  return GSS_S_COMPLETE;
}

EXPORT OM_uint32 gss_acquire_cred(OM_uint32* minor, struct fake_name* desired, OM_uint32 time_req,
                                  void* desired_mechs, int usage, struct fake_cred** out,
                                  void** actual_mechs, OM_uint32* time_rec) {
  state.acquire_calls++;
  state.acquire_usage = usage;
  state.acquire_desired_is_second_name = desired != NULL && desired == names[1];
  state.acquire_time = time_req;
  state.acquire_mechs_null = desired_mechs == NULL;
  state.acquire_outputs_null = actual_mechs == NULL && time_rec == NULL;
  if (state.acquire_major) return fail(minor, state.acquire_major);
  last_cred = calloc(1, sizeof *last_cred);
  last_cred->magic = 42;
  *out = last_cred;
  state.live_creds++;
  if (minor) *minor = 0;
  return GSS_S_COMPLETE;
}

EXPORT OM_uint32 gss_release_cred(OM_uint32* minor, struct fake_cred** cred) {
  state.release_cred_calls++;
  if (minor) *minor = 0;
  if (cred && *cred) {
    if (*cred == last_cred) last_cred = NULL;
    free(*cred);
    *cred = NULL;
    state.live_creds--;
  }
  return GSS_S_COMPLETE;
}

EXPORT OM_uint32 gss_init_sec_context(OM_uint32* minor, struct fake_cred* cred,
                                      struct fake_ctx** context, struct fake_name* target,
                                      oid_desc* mech, OM_uint32 flags, OM_uint32 time_req,
                                      void* bindings, buffer_desc* input, void** actual_mech,
                                      buffer_desc* output, OM_uint32* ret_flags,
                                      OM_uint32* time_rec) {
  (void)time_req;
  (void)actual_mech;
  (void)time_rec;
  const uint32_t step = state.init_calls++;
  const uint32_t k = step < FAKE_MAX_STEPS ? step : FAKE_MAX_STEPS - 1;
  state.init_flags = flags;
  state.init_mech_is_snc = oid_is(mech, snc_mechanism);
  state.init_target_is_first_name = target != NULL && target == names[0];
  state.init_cred_ok = cred != NULL && cred == last_cred && cred->magic == 42;
  state.init_bindings_null = bindings == NULL;
  state.init_input_null[k] = input == NULL;
  state.init_input_len[k] = input ? input->length : 0;
  state.init_input_first[k] = input && input->length ? ((unsigned char*)input->value)[0] : 0;
  if (*context == NULL) {
    *context = calloc(1, sizeof **context);
    state.live_contexts++;
  }
  (*context)->steps++;
  const uint32_t s = state.init_steps == 0     ? 0
                     : step < state.init_steps ? step
                                               : state.init_steps - 1;
  const uint32_t major = s < FAKE_MAX_STEPS ? state.init_major[s] : 0;
  const uint32_t len = s < FAKE_MAX_STEPS ? state.init_token_len[s] : 0;
  if (ret_flags) *ret_flags = flags;
  output->length = 0;
  output->value = NULL;
  if (len && (major <= 1 || state.init_error_token)) {
    unsigned char token[256];
    const uint32_t n = len < sizeof token ? len : sizeof token;
    memset(token, 0xA0 + (int)step, n);
    hand_out(output, token, n);
  }
  if (major > 1) return fail(minor, major);
  if (minor) *minor = 0;
  return major;
}

EXPORT OM_uint32 gss_delete_sec_context(OM_uint32* minor, struct fake_ctx** context,
                                        buffer_desc* output) {
  (void)output;
  state.delete_calls++;
  if (minor) *minor = 0;
  if (context && *context) {
    free(*context);
    *context = NULL;
    state.live_contexts--;
  }
  return GSS_S_COMPLETE;
}

EXPORT OM_uint32 gss_export_name(OM_uint32* minor, struct fake_name* name, buffer_desc* out) {
  state.export_calls++;
  if (state.export_major) return fail(minor, state.export_major);
  if (name == NULL) return fail(minor, GSS_S_BAD_NAME);
  char text[FAKE_NAME_MAX + 16] = "EXPORTED:";
  memcpy(text + 9, name->text, name->length);
  hand_out(out, text, 9 + name->length);
  if (minor) *minor = 0;
  return GSS_S_COMPLETE;
}

#ifndef FAKE_OMIT_WRAP
EXPORT OM_uint32 gss_wrap(OM_uint32* minor, struct fake_ctx* context, int conf_req, OM_uint32 qop,
                          buffer_desc* input, int* conf_state, buffer_desc* output) {
  state.wrap_calls++;
  state.wrap_conf_req = conf_req;
  state.wrap_qop = qop;
  if (state.wrap_major) return fail(minor, state.wrap_major);
  if (context == NULL) return fail(minor, GSS_S_NO_CONTEXT);
  unsigned char* bytes = malloc(input->length + 1);
  bytes[0] = 'W';
  for (size_t i = 0; i < input->length; ++i)
    bytes[i + 1] = ((unsigned char*)input->value)[i] ^ 0x5A;
  output->length = input->length + 1;
  output->value = bytes;
  state.live_buffers++;
  if (conf_state) *conf_state = conf_req;
  if (minor) *minor = 0;
  return GSS_S_COMPLETE;
}
#endif

EXPORT OM_uint32 gss_unwrap(OM_uint32* minor, struct fake_ctx* context, buffer_desc* input,
                            buffer_desc* output, int* conf_state, OM_uint32* qop_state) {
  state.unwrap_calls++;
  if (state.unwrap_major) return fail(minor, state.unwrap_major);
  if (context == NULL) return fail(minor, GSS_S_NO_CONTEXT);
  const unsigned char* in = input->value;
  if (input->length == 0 || in[0] != 'W') return fail(minor, GSS_S_DEFECTIVE_TOKEN);
  unsigned char* bytes = malloc(input->length);
  for (size_t i = 1; i < input->length; ++i) bytes[i - 1] = in[i] ^ 0x5A;
  output->length = input->length - 1;
  output->value = bytes;
  state.live_buffers++;
  if (conf_state) *conf_state = 1;
  if (qop_state) *qop_state = 0;
  if (minor) *minor = 0;
  return GSS_S_COMPLETE;
}

#ifndef FAKE_OMIT_DISPLAY_STATUS
EXPORT OM_uint32 gss_display_status(OM_uint32* minor, OM_uint32 value, int type, oid_desc* mech,
                                    OM_uint32* message_context, buffer_desc* text) {
  state.display_calls++;
  state.display_mech_is_snc = oid_is(mech, snc_mechanism);
  state.display_types_seen |= 1 << type;
  if (minor) *minor = 0;
  char line[64];
  switch (state.display_mode) {
    case FAKE_DISPLAY_ENDLESS:
      hand_out_text(text, "again");
      *message_context = 7;
      return GSS_S_COMPLETE;
    case FAKE_DISPLAY_FAIL:
      hand_out_text(text, "ignored");
      return GSS_S_BAD_STATUS;
    case FAKE_DISPLAY_BLANK:
      hand_out_text(text, " \t\n");
      *message_context = 0;
      return GSS_S_COMPLETE;
    default:
      break;
  }
  if (type == 1) {
    /* One message naming the routine error field. */
    const char* digits = "0123456789abcdef";
    strcpy(line, "  fake major 0x");
    size_t n = strlen(line);
    for (int shift = 28; shift >= 0; shift -= 4) line[n++] = digits[(value >> shift) & 15];
    line[n++] = '\n';
    line[n] = 0;
    hand_out_text(text, line);
    *message_context = 0;
    return GSS_S_COMPLETE;
  }
  /* Mechanism codes: two messages, the first with the value in decimal. */
  if (*message_context == 0) {
    char digits[16];
    int k = 0;
    uint32_t v = value;
    do {
      digits[k++] = (char)('0' + v % 10);
      v /= 10;
    } while (v);
    strcpy(line, "fake minor ");
    size_t n = strlen(line);
    while (k) line[n++] = digits[--k];
    line[n] = 0;
    hand_out_text(text, line);
    *message_context = 1;
  } else {
    hand_out_text(text, "\xff second line");
    *message_context = 0;
  }
  return GSS_S_COMPLETE;
}
#endif

#ifndef FAKE_OMIT_INITIALIZE
EXPORT OM_uint32 gss_initialize(OM_uint32* arg, void* reserved) {
  state.initialize_calls++;
  state.initialize_arg = arg ? *arg : 0xFFFFFFFFu;
  state.initialize_reserved_null = reserved == NULL;
  return 0;
}
#endif
