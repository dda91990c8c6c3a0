/* A scripted GSS-API library for the adapter's tests: the entry points the
 * adapter resolves, with behaviour set and calls recorded in one shared
 * state block that the test reaches through fake_gss_state().
 *
 * Built at test time as a shared library; -DFAKE_OMIT_WRAP,
 * -DFAKE_OMIT_DISPLAY_STATUS and -DFAKE_OMIT_INITIALIZE leave the named
 * entry point out.
 *
 * Names are "NAME:" and the imported text; the exported name is
 * "EXPORTED:" and the text; a wrapped message is 'W' followed by the bytes
 * XOR 0x5A; output tokens of init_sec_context are `init_token_len` bytes
 * 0xA0 + step number. */
#ifndef QUIB_FAKE_GSS_H
#define QUIB_FAKE_GSS_H

#include <stddef.h>
#include <stdint.h>

#define FAKE_MAX_STEPS 16
#define FAKE_MAX_IMPORTS 4
#define FAKE_NAME_MAX 128

/* How gss_display_status answers. */
enum fake_display_mode {
  FAKE_DISPLAY_TEXT = 0,    /* GSS codes: one message; mechanism codes: two messages */
  FAKE_DISPLAY_ENDLESS = 1, /* always "again" with a non-zero message context */
  FAKE_DISPLAY_FAIL = 2,    /* a non-zero major status (and a buffer to release) */
  FAKE_DISPLAY_BLANK = 3    /* white space only */
};

struct fake_gss {
  /* ---- script (zero: everything succeeds) */
  uint32_t import_major[FAKE_MAX_IMPORTS]; /* by import call: 0 partner, 1 own */
  uint32_t acquire_major;
  uint32_t init_major[FAKE_MAX_STEPS]; /* by step; steps past init_steps repeat the last */
  uint32_t init_token_len[FAKE_MAX_STEPS];
  uint32_t init_steps;
  int init_error_token; /* a failing step still hands out a token (to be released) */
  uint32_t export_major;
  uint32_t wrap_major;
  uint32_t unwrap_major;
  uint32_t minor_status; /* the minor status every failure reports */
  int display_mode;

  /* ---- record */
  uint32_t initialize_calls;
  uint32_t initialize_arg;
  int initialize_reserved_null;

  uint32_t import_calls;
  char imported[FAKE_MAX_IMPORTS][FAKE_NAME_MAX];
  size_t imported_len[FAKE_MAX_IMPORTS];
  int imported_value_null[FAKE_MAX_IMPORTS];
  int import_oid_is_snc[FAKE_MAX_IMPORTS];

  uint32_t acquire_calls;
  int acquire_usage;
  int acquire_desired_is_second_name; /* the own name (second import) was passed */
  uint32_t acquire_time;
  int acquire_mechs_null;
  int acquire_outputs_null; /* actual mechanisms and time out-pointers were null */

  uint32_t init_calls;
  uint32_t init_flags;
  int init_mech_is_snc;
  int init_target_is_first_name;
  int init_cred_ok;
  int init_bindings_null;
  int init_input_null[FAKE_MAX_STEPS];
  size_t init_input_len[FAKE_MAX_STEPS];
  uint8_t init_input_first[FAKE_MAX_STEPS];

  uint32_t wrap_calls;
  int wrap_conf_req;
  uint32_t wrap_qop;
  uint32_t unwrap_calls;
  uint32_t export_calls;
  uint32_t display_calls;
  int display_mech_is_snc;
  int display_types_seen; /* bit 1: GSS code, bit 2: mechanism code */

  uint32_t delete_calls;
  uint32_t release_cred_calls;
  uint32_t release_name_calls;
  uint32_t release_buffer_calls;

  /* objects handed out and not yet released */
  int live_buffers;
  int live_names;
  int live_creds;
  int live_contexts;
};

#ifdef __cplusplus
extern "C" {
#endif
/* The one state block of the loaded library. */
struct fake_gss* fake_gss_state(void);
/* Back to the initial state (script and records cleared). */
void fake_gss_reset(void);
#ifdef __cplusplus
}
#endif

#endif
