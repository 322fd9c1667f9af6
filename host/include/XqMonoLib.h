// Host support library XqMonoLib: binds the Mono embedding entry points at run time.
//
// The bridge never links the Mono library: it calls every Mono function through one pointer here, bound
// with dlopen/dlsym by MonoAPI::Initialize(), so the bridge loads into an agent even on a machine without
// Mono and reports the failure instead of failing to load.
#pragma once

#include <mono/jit/jit.h>
#include <mono/metadata/appdomain.h>
#include <mono/metadata/assembly.h>
#include <mono/metadata/class.h>
#include <mono/metadata/debug-helpers.h>
#include <mono/metadata/mono-gc.h>
#include <mono/metadata/image.h>
#include <mono/metadata/metadata.h>
#include <mono/metadata/tokentype.h>
#include <mono/metadata/mono-config.h>
#include <mono/metadata/object.h>
#include <mono/metadata/threads.h>
#include <mono/utils/mono-publib.h>

#define XQMONO_EXPORT __attribute__((visibility("default")))

// Every Mono entry point that the bridge, its tests and its benchmarks use.
#define XQ_MONO_ENTRY_POINTS(X)          \
    X(mono_config_parse)                 \
    X(mono_jit_init)                     \
    X(mono_assembly_getrootdir)          \
    X(mono_assembly_setrootdir)          \
    X(mono_get_runtime_build_info)       \
    X(mono_domain_set_config)            \
    X(mono_domain_assembly_open)         \
    X(mono_assembly_get_image)           \
    X(mono_thread_attach)                \
    X(mono_class_from_name)              \
    X(mono_object_new)                   \
    X(mono_runtime_object_init)          \
    X(mono_gchandle_new)                 \
    X(mono_gchandle_get_target)          \
    X(mono_gchandle_free)                \
    X(mono_class_get_method_from_name)   \
    X(mono_runtime_invoke)               \
    X(mono_object_unbox)                 \
    X(mono_object_get_class)             \
    X(mono_class_get_name)               \
    X(mono_class_get_namespace)          \
    X(mono_string_new)                   \
    X(mono_string_new_len)               \
    X(mono_string_to_utf8)               \
    X(mono_string_length)                \
    X(mono_string_chars)                 \
    X(mono_string_new_utf16)             \
    X(mono_free)                         \
    X(mono_class_get_field_from_name)    \
    X(mono_field_get_value)              \
    X(mono_field_set_value)              \
    X(mono_field_get_value_object)       \
    X(mono_field_get_type)               \
    X(mono_type_size)                    \
    X(mono_type_is_reference)            \
    X(mono_type_get_type)                \
    X(mono_type_get_underlying_type)     \
    X(mono_class_get_property_from_name) \
    X(mono_property_get_value)           \
    X(mono_get_corlib)                   \
    X(mono_image_get_table_rows)         \
    X(mono_class_get)                    \
    X(mono_class_get_methods)            \
    X(mono_method_get_name)              \
    X(mono_class_get_fields)             \
    X(mono_field_get_name)               \
    X(mono_method_signature)             \
    X(mono_signature_get_desc)           \
    X(mono_signature_get_param_count)    \
    X(mono_method_full_name)             \
    X(mono_object_to_string)             \
    X(mono_value_box)                    \
    X(mono_get_int32_class)              \
    X(mono_get_boolean_class)            \
    X(mono_gc_collect)                   \
    X(mono_gc_max_generation)

namespace MonoAPI {

#define XQ_MONO_DECLARE_PTR(name) XQMONO_EXPORT extern decltype(&::name) name##_ptr;
XQ_MONO_ENTRY_POINTS(XQ_MONO_DECLARE_PTR)
#undef XQ_MONO_DECLARE_PTR

// Opens the Mono runtime library (XQ_MONO_LIBRARY when set, else libmonosgen-2.0.so.1) and binds every
// entry point above. True when all are bound; false, with every pointer left null, when the library or any
// entry point is missing. Safe to call more than once and from several threads.
XQMONO_EXPORT bool Initialize();

}  // namespace MonoAPI
