// Preloaded into linux.uml by uml_run.sh, so that UML 6.1 boots on hosts with large XSAVE
// areas (AVX-512, AMX).
//
// UML saves and restores its guest processes' FPU state with PTRACE_{GET,SET}REGSET
// NT_X86_XSTATE and a buffer of the AVX-sized XSAVE layout. The host kernel refuses a SETREGSET
// that is not exactly its full XSAVE size, so on such hosts init dies at its first
// context switch ("ptrace set fp regs failed, errno = 14"). UML falls back to
// PTRACE_{GET,SET}FPREGS (the FXSAVE area: x87 and SSE) when the XSTATE regset is not there, so
// this shim makes that regset look absent. The wider registers are then not switched between
// threads of one guest process, which is why uml_run.sh also keeps glibc in the guest off
// AVX and AVX-512.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <elf.h>
#include <errno.h>
#include <stdarg.h>
#include <stddef.h>
#include <sys/ptrace.h>
#include <sys/types.h>

typedef long (*ptrace_fn)(enum __ptrace_request, ...);

long ptrace(enum __ptrace_request request, ...) {
  va_list args;
  va_start(args, request);
  pid_t pid = va_arg(args, pid_t);
  void* addr = va_arg(args, void*);
  void* data = va_arg(args, void*);
  va_end(args);
  if ((request == PTRACE_GETREGSET || request == PTRACE_SETREGSET) &&
      (unsigned long)addr == NT_X86_XSTATE) {
    errno = EIO;
    return -1;
  }
  static ptrace_fn real_ptrace;
  if (real_ptrace == NULL) *(void**)&real_ptrace = dlsym(RTLD_NEXT, "ptrace");
  return real_ptrace(request, pid, addr, data);
}
