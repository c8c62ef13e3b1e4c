/* Guest instruction counts for qemu-user, through its plugin interface (version 1, as Debian
 * bookworm's qemu 7.2 has it; no plugin headers are installed, so the few declarations used are
 * written here). Every translated block gets an execution counter that the block's own code
 * increments inline, so counting costs no call per block. At exit the plugin writes one line per
 * block, "address instructions executions", to the file named by out=FILE (default: stderr),
 * then "total N".
 *   cc -shared -fPIC -O2 -o insn_count.so insn_count.c
 *   qemu-arm -plugin ./insn_count.so,out=blocks.txt PROGRAM...
 */
#include <stdbool.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

typedef uint64_t qemu_plugin_id_t;
typedef struct {
  const char *target_name;
  struct {
    int min;
    int cur;
  } version;
  bool system_emulation;
  union {
    struct {
      int smp_vcpus;
      int max_vcpus;
    } system;
  };
} qemu_info_t;
struct qemu_plugin_tb;
enum qemu_plugin_op { QEMU_PLUGIN_INLINE_ADD_U64 };
typedef void (*qemu_plugin_vcpu_tb_trans_cb_t)(qemu_plugin_id_t id, struct qemu_plugin_tb *tb);
typedef void (*qemu_plugin_udata_cb_t)(qemu_plugin_id_t id, void *userdata);

void qemu_plugin_register_vcpu_tb_trans_cb(qemu_plugin_id_t id, qemu_plugin_vcpu_tb_trans_cb_t cb);
void qemu_plugin_register_vcpu_tb_exec_inline(struct qemu_plugin_tb *tb, enum qemu_plugin_op op,
                                              void *ptr, uint64_t imm);
size_t qemu_plugin_tb_n_insns(const struct qemu_plugin_tb *tb);
uint64_t qemu_plugin_tb_vaddr(const struct qemu_plugin_tb *tb);
void qemu_plugin_register_atexit_cb(qemu_plugin_id_t id, qemu_plugin_udata_cb_t cb, void *userdata);

#define EXPORT __attribute__((visibility("default")))
EXPORT int qemu_plugin_version = 1;

/* One per translation; a block translated again (after its code page changed) gets another. */
struct block {
  uint64_t executions;
  uint64_t vaddr;
  uint64_t insns;
  struct block *next;
};

static struct block *blocks;
static char *out_path;

static void on_translate(qemu_plugin_id_t id, struct qemu_plugin_tb *tb) {
  (void)id;
  struct block *b = calloc(1, sizeof *b);
  if (!b) abort();
  b->vaddr = qemu_plugin_tb_vaddr(tb);
  b->insns = qemu_plugin_tb_n_insns(tb);
  b->next = blocks;
  blocks = b;
  qemu_plugin_register_vcpu_tb_exec_inline(tb, QEMU_PLUGIN_INLINE_ADD_U64, &b->executions, 1);
}

static void report(qemu_plugin_id_t id, void *userdata) {
  (void)id;
  (void)userdata;
  FILE *out = out_path ? fopen(out_path, "w") : stderr;
  if (!out) return;
  uint64_t total = 0;
  for (const struct block *b = blocks; b; b = b->next) {
    if (b->executions == 0) continue;
    total += b->insns * b->executions;
    fprintf(out, "%llx %llu %llu\n", (unsigned long long)b->vaddr, (unsigned long long)b->insns,
            (unsigned long long)b->executions);
  }
  fprintf(out, "total %llu\n", (unsigned long long)total);
  if (out != stderr) fclose(out);
}

EXPORT int qemu_plugin_install(qemu_plugin_id_t id, const qemu_info_t *info, int argc, char **argv) {
  (void)info;
  for (int i = 0; i < argc; ++i) {
    if (strncmp(argv[i], "out=", 4) == 0) out_path = strdup(argv[i] + 4);
  }
  qemu_plugin_register_vcpu_tb_trans_cb(id, on_translate);
  qemu_plugin_register_atexit_cb(id, report, NULL);
  return 0;
}
