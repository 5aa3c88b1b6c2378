// One handle owned by one scope: a file, or a WinHTTP or CNG handle (all of
// them pointers), closed by the function it was given with when the scope
// ends or another handle takes its place. It cannot be copied, so no handle
// is closed twice. Neither 0 nor INVALID_HANDLE_VALUE is a handle. A run that
// ends through fail() leaves what is still open to the end of the process.
#ifndef STONEWAKE_OWNED_H
#define STONEWAKE_OWNED_H

#include <windows.h>

class owned_handle {
  public:
    typedef void (*closer)(void* handle);
    explicit owned_handle(closer close, void* handle = 0) : close_(close), handle_(handle) {}
    ~owned_handle() { reset(0); }
    owned_handle(const owned_handle&) = delete;
    owned_handle& operator=(const owned_handle&) = delete;

    void* get() const { return handle_; }
    int valid() const { return handle_ != 0 && handle_ != INVALID_HANDLE_VALUE; }
    void reset(void* handle) {
        if (valid()) close_(handle_);
        handle_ = handle;
    }

  private:
    closer close_;
    void* handle_;
};

inline void close_file(void* handle) {
    CloseHandle(handle);
}

#endif
