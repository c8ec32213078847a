/* clang 14 emits -fsanitize=function checks that call the "_v1" handler
 * below; the sanitizer runtime shipped with atheris comes from a newer LLVM
 * that dropped it. This stand-in is preloaded after that runtime and reports
 * a real mismatch the way UBSan does, then aborts so libFuzzer records it. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

struct source_location { const char *file; unsigned line, column; };
struct type_descriptor { unsigned short kind, info; char name[1]; };
struct mismatch_data { struct source_location loc; const struct type_descriptor *type; };
struct itanium_type_info { const void *vtable; const char *name; };

void __sanitizer_print_stack_trace(void);

static int same_type(const void *a, const void *b) {
    const char *x = ((const struct itanium_type_info *)a)->name;
    const char *y = ((const struct itanium_type_info *)b)->name;
    if (a == b || x == y) return 1;
    return x[0] != '*' && y[0] != '*' && strcmp(x, y) == 0;
}

void __ubsan_handle_function_type_mismatch_v1_abort(struct mismatch_data *data, void *function,
                                                    void *callee_rtti, void *fn_rtti) {
    if (same_type(callee_rtti, fn_rtti)) return;
    fprintf(stderr, "%s:%u:%u: runtime error: call to function %p through pointer to incorrect function type '%s'\n",
            data->loc.file ? data->loc.file : "<unknown>", data->loc.line, data->loc.column, function,
            data->type->name);
    __sanitizer_print_stack_trace();
    fprintf(stderr, "SUMMARY: UndefinedBehaviorSanitizer: undefined-behavior %s:%u:%u\n",
            data->loc.file ? data->loc.file : "<unknown>", data->loc.line, data->loc.column);
    abort();
}
