// libstdc++ (GCC 11 on) reads glibc's __libc_single_threaded to skip atomic
// reference counts (shared_ptr; std::string of the old ABI) when the process is
// single-threaded. The variable came with glibc 2.32, so referencing it keeps
// the plug-in off every older board. This hidden copy binds all of the
// plug-in's references and says "never single-threaded": the library then
// always takes its atomic path, which is right in any process and costs one
// locked instruction per count.
#if defined(__has_include)
#if __has_include(<sys/single_threaded.h>)
extern "C" {
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;
}
#endif
#endif
