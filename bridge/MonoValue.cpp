// Managed strings, the exception log, field access, object makers, DateTime conversion and image dumps.
#include "MonoValue.h"

#include <cstring>

#include "XqMonoLib.h"

using namespace MonoAPI;

namespace {

const char* const kWrapperNamespace = "vCloudSDKWrapper";

// Length of the valid UTF-8 sequence at text[i], or 0 when the byte there does not start one.
std::size_t Utf8SequenceLength(const unsigned char* text, std::size_t size, std::size_t i) {
    unsigned char c = text[i];
    if (c < 0x80) return 1;
    std::size_t length;
    unsigned char minSecond = 0x80, maxSecond = 0xBF;
    if (c >= 0xC2 && c <= 0xDF) {
        length = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        length = 3;
        if (c == 0xE0) minSecond = 0xA0;          // no overlong forms
        if (c == 0xED) maxSecond = 0x9F;          // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        length = 4;
        if (c == 0xF0) minSecond = 0x90;          // no overlong forms
        if (c == 0xF4) maxSecond = 0x8F;          // nothing above U+10FFFF
    } else {
        return 0;
    }
    if (i + length > size) return 0;
    if (text[i + 1] < minSecond || text[i + 1] > maxSecond) return 0;
    for (std::size_t k = 2; k < length; ++k) {
        if ((text[i + k] & 0xC0) != 0x80) return 0;
    }
    return length;
}

// The text with every byte that is not part of a valid UTF-8 sequence replaced by U+FFFD.
std::string RepairUtf8(const char* text, std::size_t size, std::size_t* replaced) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    std::string out;
    out.reserve(size + 8);
    *replaced = 0;
    for (std::size_t i = 0; i < size;) {
        std::size_t length = Utf8SequenceLength(bytes, size, i);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++*replaced;
            ++i;
        } else {
            out.append(text + i, length);
            i += length;
        }
    }
    return out;
}

MonoClassField* FindField(MonoClass* klass, const char* field, bool logMissing) {
    MonoClassField* found = klass != nullptr ? mono_class_get_field_from_name_ptr(klass, field) : nullptr;
    if (found == nullptr && logMissing) g_vCloudDebug.error("Could not find field [%s]", field);
    return found;
}

// The runtime copies a field's whole value into the reader's slot. A wrapper assembly whose field is of
// another kind than the reader expects (a long where a bool is read, an int where a string is) must not
// make it write past the slot or hand back raw bits as an object reference.
bool FieldFits(MonoClassField* field, const char* name, std::size_t slotSize, bool reference) {
    MonoType* type = mono_field_get_type_ptr(field);
    int alignment = 0;
    int size = type != nullptr ? mono_type_size_ptr(type, &alignment) : -1;
    bool isReference = type != nullptr && mono_type_is_reference_ptr(type);
    if (size > 0 && static_cast<std::size_t>(size) <= slotSize && isReference == reference) return true;
    g_vCloudDebug.error("Field [%s] is not of the kind its reader takes (%s of %zu bytes)", name,
                        reference ? "a reference" : "a value", slotSize);
    return false;
}

// Copies a value-type field of at most sizeof(T) bytes; 0 (logged) when the field is missing or wider.
template <class T>
T ReadScalarField(MonoClass* klass, MonoObject* object, const char* field) {
    MonoClassField* found = FindField(klass, field, true);
    T value = 0;
    if (found != nullptr && FieldFits(found, field, sizeof(T), false)) mono_field_get_value_ptr(object, found, &value);
    return value;
}

}  // namespace

MonoString* std2gc(const std::string& text) {
    // The text ends at its first NUL byte, as a C string does.
    const char* data = text.c_str();
    std::size_t size = std::strlen(data);
    MonoString* result = mono_string_new_ptr(g_domain, data);
    if (result != nullptr || size == 0) return result;
    // The runtime refuses text that is not valid UTF-8; repair it rather than hand managed code a null.
    std::size_t replaced = 0;
    std::string repaired = RepairUtf8(data, size, &replaced);
    g_vCloudDebug.error("Text is not valid UTF-8: %zu byte(s) replaced", replaced);
    return mono_string_new_ptr(g_domain, repaired.c_str());
}

std::string gc2std(MonoString* text) {
    if (text == nullptr) return std::string();
    char* utf8 = mono_string_to_utf8_ptr(text);
    if (utf8 == nullptr) return std::string();
    std::string result(utf8);
    mono_free_ptr(utf8);
    return result;
}

void LogException(const char* where, MonoObject* exception) {
    const char* name = "(null)";
    if (exception != nullptr) {
        if (MonoClass* klass = mono_object_get_class_ptr(exception)) name = mono_class_get_name_ptr(klass);
    }
    EvDebug log(nullptr);
    log.Error(where, "Exception caught in bridge - %s\n", name);
}

void LogNotPorted(const char* where) {
    EvDebug log(nullptr);
    log.Error(where, "%s is not ported to linux", where);
}

MonoClass* mono_image_get_classes(MonoImage* image, void** cursor) {
    if (cursor == nullptr) return nullptr;
    int32_t row = 0;
    std::memcpy(&row, cursor, sizeof row);
    if (row == 0) row = 1;  // row 1 is the module's pseudo-type
    MonoClass* klass = nullptr;
    if (mono_image_get_table_rows_ptr(image, MONO_TABLE_TYPEDEF) > row) {
        ++row;
        klass = mono_class_get_ptr(image, MONO_TOKEN_TYPE_DEF | static_cast<uint32_t>(row));
    } else {
        row = 0;
    }
    *cursor = nullptr;
    std::memcpy(cursor, &row, sizeof row);
    return klass;
}

void DumpClasses() {
    void* cursor = nullptr;
    while (MonoClass* klass = mono_image_get_classes(g_vCloudImage, &cursor)) {
        g_vCloudDebug.debug("Class: %s\n", mono_class_get_name_ptr(klass));
    }
}

void DumpClassMethods(MonoClass* klass) {
    void* cursor = nullptr;
    while (MonoMethod* method = mono_class_get_methods_ptr(klass, &cursor)) {
        g_vCloudDebug.debug("Method: %s\n", mono_method_get_name_ptr(method));
    }
}

void DumpClassFields(MonoClass* klass) {
    void* cursor = nullptr;
    while (MonoClassField* field = mono_class_get_fields_ptr(klass, &cursor)) {
        g_vCloudDebug.debug("Field: %s\n", mono_field_get_name_ptr(field));
    }
}

void DumpMethod(MonoMethod* method) {
    MonoMethodSignature* signature = mono_method_signature_ptr(method);
    char* description = mono_signature_get_desc_ptr(signature, true);
    char* fullName = mono_method_full_name_ptr(method, true);
    g_vCloudDebug.debug("Method: %s   %d params   %s", fullName ? fullName : "",
                        static_cast<int>(mono_signature_get_param_count_ptr(signature)),
                        description ? description : "");
    // Both texts are the runtime's allocations: release them so that repeated dumps do not leak.
    mono_free_ptr(fullName);
    mono_free_ptr(description);
}

MonoObject* NewManagedDateTime() {
    MonoClass* klass = mono_class_from_name_ptr(mono_get_corlib_ptr(), "System", "DateTime");
    if (klass == nullptr) {
        g_vCloudDebug.error("Could not get datetime class");
        return nullptr;
    }
    MonoObject* object = mono_object_new_ptr(g_domain, klass);
    if (object == nullptr) {
        g_vCloudDebug.error("Could not create datetime object");
        return nullptr;
    }
    return object;
}

MonoObject* NewManagedObjectVCloud(const char* className, bool runConstructor) {
    MonoClass* klass = mono_class_from_name_ptr(g_vCloudImage, kWrapperNamespace, className);
    if (klass == nullptr) {
        g_vCloudDebug.error("Could not find class [%s]", className);
        return nullptr;
    }
    MonoObject* object = mono_object_new_ptr(g_domain, klass);
    if (object == nullptr) {
        g_vCloudDebug.error("Could not create object of class [%s]", className);
        return nullptr;
    }
    if (runConstructor) mono_runtime_object_init_ptr(object);
    return object;
}

void* GetFieldValue(MonoClass* klass, MonoObject* object, const char* field) {
    MonoClassField* found = FindField(klass, field, true);
    if (found == nullptr || !FieldFits(found, field, sizeof(void*), true)) return nullptr;
    void* value = nullptr;
    mono_field_get_value_ptr(object, found, &value);
    return value;
}

std::string GetStringFieldValue(MonoClass* klass, MonoObject* object, const char* field) {
    return gc2std(static_cast<MonoString*>(GetFieldValue(klass, object, field)));
}

bool GetBoolFieldValue(MonoClass* klass, MonoObject* object, const char* field) {
    return ReadScalarField<uint8_t>(klass, object, field) != 0;
}

int GetIntFieldValue(MonoClass* klass, MonoObject* object, const char* field) {
    return ReadScalarField<int32_t>(klass, object, field);
}

int64_t GetLongFieldValue(MonoClass* klass, MonoObject* object, const char* field) {
    return ReadScalarField<int64_t>(klass, object, field);
}

MonoObject* GetStructFieldValue(MonoClass* klass, MonoObject* object, const char* field) {
    MonoClassField* found = FindField(klass, field, false);
    if (found == nullptr) return nullptr;
    return mono_field_get_value_object_ptr(g_domain, found, object);
}

time_t GetDateTimeFieldValue(MonoClass* klass, MonoObject* object, const char* field) {
    MonoObject* box = GetStructFieldValue(klass, object, field);
    return box != nullptr ? DateTimeToTimeT(box) : 0;
}

bool IsStringFieldEmpty(MonoObject* object, const char* field) {
    MonoClass* klass = object != nullptr ? mono_object_get_class_ptr(object) : nullptr;
    if (klass == nullptr) return true;
    auto* text = static_cast<MonoString*>(GetFieldValue(klass, object, field));
    return text == nullptr || mono_string_length_ptr(text) == 0;
}

void SetFieldValue(MonoClass* klass, MonoObject* object, const char* field, void* value) {
    MonoClassField* found = FindField(klass, field, true);
    if (found == nullptr) return;
    mono_field_set_value_ptr(object, found, value);
}

time_t DateTimeToTimeT(MonoObject* boxedDateTime) {
    MonoClass* klass = boxedDateTime != nullptr ? mono_object_get_class_ptr(boxedDateTime) : nullptr;
    if (klass == nullptr) {
        g_vCloudDebug.error("Could not get datetime class");
        return 0;
    }
    // Only a boxed System.DateTime is read: another value type's Ticks is no date, and unboxing an object
    // of a reference type aborts the runtime.
    MonoClass* dateTimeClass = mono_class_from_name_ptr(mono_get_corlib_ptr(), "System", "DateTime");
    MonoProperty* ticksProperty =
        klass == dateTimeClass ? mono_class_get_property_from_name_ptr(klass, "Ticks") : nullptr;
    if (ticksProperty == nullptr) {
        g_vCloudDebug.error("Could not get datetime Ticks property");
        return 0;
    }
    MonoObject* exception = nullptr;
    MonoObject* ticksBox =
        mono_property_get_value_ptr(ticksProperty, mono_object_unbox_ptr(boxedDateTime), nullptr, &exception);
    if (ticksBox == nullptr || exception != nullptr) {
        g_vCloudDebug.error("Could not get datetime ticks property value");
        return 0;
    }
    int64_t ticks = 0;
    std::memcpy(&ticks, mono_object_unbox_ptr(ticksBox), sizeof ticks);
    // Ticks are 100 ns units since 0001-01-01; 621355968000000000 of them reach 1970-01-01. Signed
    // arithmetic: dates before 1970 give negative counts, rounded down to the whole second.
    const int64_t kEpochTicks = 621355968000000000LL;
    const int64_t kTicksPerSecond = 10000000LL;
    int64_t offset = ticks - kEpochTicks;
    int64_t seconds = offset / kTicksPerSecond;
    if (offset % kTicksPerSecond < 0) --seconds;  // floor: 1969-12-31 23:59:59.5 is second -1
    return static_cast<time_t>(seconds);
}
