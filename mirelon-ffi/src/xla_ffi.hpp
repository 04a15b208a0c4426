// The few records of the XLA FFI C API that the handlers read or write, declared with the
// published layout (LP64). Only the fields used here are named; the offsets are pinned below and
// compared against the header that the installed jaxlib ships in a separate test.
#pragma once

#include <cstddef>
#include <cstdint>

namespace mirelon::xla {

struct XLA_FFI_Error;  // opaque, owned by XLA

enum XLA_FFI_Extension_Type : int32_t { XLA_FFI_Extension_Metadata = 1 };
enum XLA_FFI_ExecutionStage : int32_t { XLA_FFI_ExecutionStage_EXECUTE = 3 };
enum XLA_FFI_Error_Code : int32_t { XLA_FFI_Error_Code_INVALID_ARGUMENT = 3 };

struct XLA_FFI_Extension_Base {
  size_t struct_size;
  XLA_FFI_Extension_Type type;
  XLA_FFI_Extension_Base* next;
};

struct XLA_FFI_Api_Version {
  size_t struct_size;
  XLA_FFI_Extension_Base* extension_start;
  int major_version;
  int minor_version;
};

struct XLA_FFI_Metadata {
  size_t struct_size;
  XLA_FFI_Api_Version api_version;
  uint32_t traits;
};

struct XLA_FFI_Metadata_Extension {
  XLA_FFI_Extension_Base extension_base;
  XLA_FFI_Metadata* metadata;
};

struct XLA_FFI_Buffer {
  size_t struct_size;
  XLA_FFI_Extension_Base* extension_start;
  int32_t dtype;
  void* data;
  int64_t rank;
  int64_t* dims;
};

struct XLA_FFI_Args {
  size_t struct_size;
  XLA_FFI_Extension_Base* extension_start;
  int64_t size;
  void* types;
  void** args;
};

struct XLA_FFI_Rets {
  size_t struct_size;
  XLA_FFI_Extension_Base* extension_start;
  int64_t size;
  void* types;
  void** rets;
};

struct XLA_FFI_Attrs {
  size_t struct_size;
  XLA_FFI_Extension_Base* extension_start;
  int64_t size;
  void* types;
  void* names;
  void* attrs;
};

struct XLA_FFI_Error_Create_Args {
  size_t struct_size;
  XLA_FFI_Extension_Base* extension_start;
  const char* message;
  XLA_FFI_Error_Code errc;
};

using XLA_FFI_Error_Create = XLA_FFI_Error* (*)(XLA_FFI_Error_Create_Args*);

struct XLA_FFI_Api;  // only the error-create slot is read, at a fixed offset

struct XLA_FFI_CallFrame {
  size_t struct_size;
  XLA_FFI_Extension_Base* extension_start;
  const XLA_FFI_Api* api;
  void* ctx;
  XLA_FFI_ExecutionStage stage;
  XLA_FFI_Args args;
  XLA_FFI_Rets rets;
  XLA_FFI_Attrs attrs;
  void* future;
};

// Offset of the XLA_FFI_Error_Create pointer in the API table: struct_size, extension_start,
// the embedded api_version record and the internal-api pointer come first.
inline constexpr size_t kErrorCreateOffset = 48;

inline XLA_FFI_Error_Create error_create_of(const XLA_FFI_Api* api) {
  XLA_FFI_Error_Create fn;
  __builtin_memcpy(&fn, reinterpret_cast<const char*>(api) + kErrorCreateOffset, sizeof fn);
  return fn;
}

using XLA_FFI_Handler = XLA_FFI_Error*(XLA_FFI_CallFrame*);

static_assert(offsetof(XLA_FFI_Extension_Base, type) == 8);
static_assert(offsetof(XLA_FFI_Extension_Base, next) == 16);
static_assert(sizeof(XLA_FFI_Extension_Base) == 24);
static_assert(offsetof(XLA_FFI_Metadata_Extension, metadata) == 24);
static_assert(offsetof(XLA_FFI_Api_Version, major_version) == 16);
static_assert(offsetof(XLA_FFI_Api_Version, minor_version) == 20);
static_assert(sizeof(XLA_FFI_Api_Version) == 24);
static_assert(offsetof(XLA_FFI_Metadata, api_version) == 8);
static_assert(offsetof(XLA_FFI_Metadata, traits) == 32);
static_assert(offsetof(XLA_FFI_Buffer, dtype) == 16);
static_assert(offsetof(XLA_FFI_Buffer, data) == 24);
static_assert(offsetof(XLA_FFI_Buffer, rank) == 32);
static_assert(offsetof(XLA_FFI_Buffer, dims) == 40);
static_assert(sizeof(XLA_FFI_Buffer) == 48);
static_assert(offsetof(XLA_FFI_Args, size) == 16);
static_assert(offsetof(XLA_FFI_Args, args) == 32);
static_assert(sizeof(XLA_FFI_Args) == 40);
static_assert(offsetof(XLA_FFI_Rets, size) == 16);
static_assert(offsetof(XLA_FFI_Rets, rets) == 32);
static_assert(sizeof(XLA_FFI_Rets) == 40);
static_assert(sizeof(XLA_FFI_Attrs) == 48);
static_assert(offsetof(XLA_FFI_Error_Create_Args, message) == 16);
static_assert(offsetof(XLA_FFI_Error_Create_Args, errc) == 24);
static_assert(sizeof(XLA_FFI_Error_Create_Args) == 32);
static_assert(offsetof(XLA_FFI_CallFrame, api) == 16);
static_assert(offsetof(XLA_FFI_CallFrame, ctx) == 24);
static_assert(offsetof(XLA_FFI_CallFrame, stage) == 32);
static_assert(offsetof(XLA_FFI_CallFrame, args) == 40);
static_assert(offsetof(XLA_FFI_CallFrame, rets) == 80);
static_assert(offsetof(XLA_FFI_CallFrame, attrs) == 120);
static_assert(offsetof(XLA_FFI_CallFrame, future) == 168);

}  // namespace mirelon::xla
