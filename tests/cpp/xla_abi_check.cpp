// Compares the records we declare for the XLA FFI with the header that the installed jaxlib
// ships: every offset and size must agree, as must the enum values we rely on. A mismatch fails
// the build of this file; the program itself only exits with 0.
#include "xla/ffi/api/c_api.h"

#include <cstddef>

#include "kernel.hpp"
#include "xla_ffi.hpp"

namespace ours = mirelon::xla;

#define SAME_OFFSET(record, field)                                             \
  static_assert(offsetof(::record, field) == offsetof(ours::record, field), \
                #record "." #field " is not where jaxlib has it")
#define SAME_SIZE(record) \
  static_assert(sizeof(::record) == sizeof(ours::record), "size of " #record " differs")

SAME_OFFSET(XLA_FFI_Extension_Base, struct_size);
SAME_OFFSET(XLA_FFI_Extension_Base, type);
SAME_OFFSET(XLA_FFI_Extension_Base, next);
SAME_SIZE(XLA_FFI_Extension_Base);
static_assert(sizeof(::XLA_FFI_Extension_Type) == sizeof(ours::XLA_FFI_Extension_Type));

SAME_OFFSET(XLA_FFI_Metadata_Extension, extension_base);
SAME_OFFSET(XLA_FFI_Metadata_Extension, metadata);
SAME_SIZE(XLA_FFI_Metadata_Extension);

SAME_OFFSET(XLA_FFI_Api_Version, struct_size);
SAME_OFFSET(XLA_FFI_Api_Version, extension_start);
SAME_OFFSET(XLA_FFI_Api_Version, major_version);
SAME_OFFSET(XLA_FFI_Api_Version, minor_version);
SAME_SIZE(XLA_FFI_Api_Version);

// The metadata record may grow at its end (newer fields after `traits`); what we write must lie
// where XLA has it and within the part that XLA always sends.
SAME_OFFSET(XLA_FFI_Metadata, struct_size);
SAME_OFFSET(XLA_FFI_Metadata, api_version);
SAME_OFFSET(XLA_FFI_Metadata, api_version.major_version);
SAME_OFFSET(XLA_FFI_Metadata, api_version.minor_version);
SAME_OFFSET(XLA_FFI_Metadata, traits);
static_assert(sizeof(::XLA_FFI_Handler_Traits) == sizeof(ours::XLA_FFI_Metadata::traits));
static_assert(XLA_FFI_STRUCT_SIZE(XLA_FFI_Metadata, traits) ==
              offsetof(ours::XLA_FFI_Metadata, traits) + sizeof(ours::XLA_FFI_Metadata::traits));

SAME_OFFSET(XLA_FFI_Buffer, struct_size);
SAME_OFFSET(XLA_FFI_Buffer, extension_start);
SAME_OFFSET(XLA_FFI_Buffer, dtype);
SAME_OFFSET(XLA_FFI_Buffer, data);
SAME_OFFSET(XLA_FFI_Buffer, rank);
SAME_OFFSET(XLA_FFI_Buffer, dims);
SAME_SIZE(XLA_FFI_Buffer);
static_assert(sizeof(::XLA_FFI_DataType) == sizeof(ours::XLA_FFI_Buffer::dtype));

SAME_OFFSET(XLA_FFI_Args, struct_size);
SAME_OFFSET(XLA_FFI_Args, extension_start);
SAME_OFFSET(XLA_FFI_Args, size);
SAME_OFFSET(XLA_FFI_Args, types);
SAME_OFFSET(XLA_FFI_Args, args);
SAME_SIZE(XLA_FFI_Args);

SAME_OFFSET(XLA_FFI_Rets, struct_size);
SAME_OFFSET(XLA_FFI_Rets, extension_start);
SAME_OFFSET(XLA_FFI_Rets, size);
SAME_OFFSET(XLA_FFI_Rets, types);
SAME_OFFSET(XLA_FFI_Rets, rets);
SAME_SIZE(XLA_FFI_Rets);

SAME_OFFSET(XLA_FFI_Attrs, struct_size);
SAME_OFFSET(XLA_FFI_Attrs, extension_start);
SAME_OFFSET(XLA_FFI_Attrs, size);
SAME_OFFSET(XLA_FFI_Attrs, types);
SAME_OFFSET(XLA_FFI_Attrs, names);
SAME_OFFSET(XLA_FFI_Attrs, attrs);
SAME_SIZE(XLA_FFI_Attrs);

SAME_OFFSET(XLA_FFI_Error_Create_Args, struct_size);
SAME_OFFSET(XLA_FFI_Error_Create_Args, extension_start);
SAME_OFFSET(XLA_FFI_Error_Create_Args, message);
SAME_OFFSET(XLA_FFI_Error_Create_Args, errc);
SAME_SIZE(XLA_FFI_Error_Create_Args);
static_assert(sizeof(::XLA_FFI_Error_Code) == sizeof(ours::XLA_FFI_Error_Code));

SAME_OFFSET(XLA_FFI_CallFrame, struct_size);
SAME_OFFSET(XLA_FFI_CallFrame, extension_start);
SAME_OFFSET(XLA_FFI_CallFrame, api);
SAME_OFFSET(XLA_FFI_CallFrame, ctx);
SAME_OFFSET(XLA_FFI_CallFrame, stage);
SAME_OFFSET(XLA_FFI_CallFrame, args);
SAME_OFFSET(XLA_FFI_CallFrame, rets);
SAME_OFFSET(XLA_FFI_CallFrame, attrs);
SAME_OFFSET(XLA_FFI_CallFrame, future);
SAME_SIZE(XLA_FFI_CallFrame);
static_assert(sizeof(::XLA_FFI_ExecutionStage) == sizeof(ours::XLA_FFI_ExecutionStage));

static_assert(offsetof(::XLA_FFI_Api, XLA_FFI_Error_Create) == ours::kErrorCreateOffset);

#define SAME_VALUE(name) \
  static_assert(static_cast<long>(::name) == static_cast<long>(ours::name), #name " differs")
SAME_VALUE(XLA_FFI_Extension_Metadata);
SAME_VALUE(XLA_FFI_ExecutionStage_EXECUTE);
SAME_VALUE(XLA_FFI_Error_Code_INVALID_ARGUMENT);
static_assert(::XLA_FFI_DataType_F32 == static_cast<int>(mirelon::DType::F32));
static_assert(::XLA_FFI_DataType_F64 == static_cast<int>(mirelon::DType::F64));

// The handlers answer the metadata query with version 0.3; XLA accepts answers up to its own.
static_assert(XLA_FFI_API_MAJOR > 0 || XLA_FFI_API_MINOR >= 3,
              "the installed jaxlib runs an FFI API older than 0.3");

int main() { return 0; }
