// Managed strings, the exception log, field access, object makers, DateTime conversion and image dumps.
#include "MonoValue.h"

#include <cstdint>
#include <cstring>

#include "ManagedException.h"
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

// The type a reader takes: a runtime type code, or any reference.
struct FieldKind {
    int typeCode;      // MONO_TYPE_*, or 0 for any reference type
    const char* name;  // for the log
};
const FieldKind kBoolean{MONO_TYPE_BOOLEAN, "Boolean"};
const FieldKind kInt32{MONO_TYPE_I4, "Int32"};
const FieldKind kInt64{MONO_TYPE_I8, "Int64"};
const FieldKind kString{MONO_TYPE_STRING, "String"};
const FieldKind kReference{0, "a reference"};

// The runtime copies a field's whole value into the reader's slot, and the reader interprets it as its
// own type. So the field's type must be exactly the reader's: a wider field would be written past the
// slot, a narrower one read with garbage or without its sign (an Int32 of -1 read as 64 bits is
// 4294967295), a value handed back as an object reference. An enumeration counts as its underlying type.
bool FieldIs(MonoClassField* field, const char* name, const FieldKind& kind) {
    MonoType* type = mono_field_get_type_ptr(field);
    bool fits = false;
    if (type != nullptr) {
        if (kind.typeCode == 0) {
            fits = mono_type_is_reference_ptr(type) != 0;
        } else {
            MonoType* underlying = mono_type_get_underlying_type_ptr(type);
            fits = mono_type_get_type_ptr(underlying != nullptr ? underlying : type) == kind.typeCode;
        }
    }
    if (!fits) g_vCloudDebug.error("Field [%s] is not of the type its reader takes (%s)", name, kind.name);
    return fits;
}

// Copies a value-type field of exactly the reader's type; 0 (logged) when the field is missing or of
// another type.
template <class T>
T ReadScalarField(MonoClass* klass, MonoObject* object, const char* field, const FieldKind& kind) {
    MonoClassField* found = FindField(klass, field, true);
    T value = 0;
    if (found != nullptr && FieldIs(found, field, kind)) mono_field_get_value_ptr(object, found, &value);
    return value;
}

// The reference held by a field of a reference type (`kind`); null (logged) when missing or of another type.
void* ReadReferenceField(MonoClass* klass, MonoObject* object, const char* field, const FieldKind& kind) {
    MonoClassField* found = FindField(klass, field, true);
    if (found == nullptr || !FieldIs(found, field, kind)) return nullptr;
    void* value = nullptr;
    mono_field_get_value_ptr(object, found, &value);
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

// Encodes the string's UTF-16 straight into the result, without the runtime's intermediate copy: a list
// of 100,000 records converts about a million texts. Gives what the runtime's own conversion gives: text
// ends at its first NUL, as a C string does, and text before it that is not valid UTF-16 (a surrogate
// without its partner) converts to nothing.
std::string gc2std(MonoString* text) {
    if (text == nullptr) return std::string();
    const mono_unichar2* chars = mono_string_chars_ptr(text);
    const int length = mono_string_length_ptr(text);
    std::string out;
    out.reserve(static_cast<std::size_t>(length));
    for (int i = 0; i < length; ++i) {
        std::uint32_t c = chars[i];
        if (c == 0) break;
        if (c < 0x80) {
            out += static_cast<char>(c);
            continue;
        }
        if (c >= 0xD800 && c <= 0xDFFF) {
            const bool paired = c <= 0xDBFF && i + 1 < length && chars[i + 1] >= 0xDC00 && chars[i + 1] <= 0xDFFF;
            if (!paired) return std::string();
            c = 0x10000 + ((c - 0xD800) << 10) + (chars[++i] - 0xDC00u);
        }
        if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        }
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
    return out;
}

namespace {

std::string ExceptionClassName(MonoObject* exception) {
    const char* name = "(null)";
    if (exception != nullptr) {
        if (MonoClass* klass = mono_object_get_class_ptr(exception)) name = mono_class_get_name_ptr(klass);
    }
    return name != nullptr ? name : "";
}

void WriteExceptionLine(const char* where, const char* className) {
    EvDebug log(nullptr);
    log.Error(where, "Exception caught in bridge - %s\n", className);
}

// The longest message kept of a managed exception.
constexpr std::size_t kMaxExceptionMessage = 1024;

std::string ExceptionMessage(MonoObject* exception) {
    MonoClass* klass = exception != nullptr ? mono_object_get_class_ptr(exception) : nullptr;
    MonoProperty* property = klass != nullptr ? mono_class_get_property_from_name_ptr(klass, "Message") : nullptr;
    if (property == nullptr) return std::string();
    MonoObject* raised = nullptr;
    MonoObject* text = mono_property_get_value_ptr(property, exception, nullptr, &raised);
    if (raised != nullptr || text == nullptr) return std::string();
    std::string message = gc2std(reinterpret_cast<MonoString*>(text));
    if (message.size() > kMaxExceptionMessage) message.resize(kMaxExceptionMessage);
    // The text may come from a server: no raw control character reaches an error text.
    for (char& c : message) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
    }
    return message;
}

}  // namespace

void LogException(const char* where, MonoObject* exception) {
    WriteExceptionLine(where, ExceptionClassName(exception).c_str());
}

void ThrowManagedException(MonoObject* exception) {
    ManagedException captured;
    captured.className = ExceptionClassName(exception);
    captured.message = ExceptionMessage(exception);
    throw captured;
}

void LogManagedException(const char* where, const ManagedException& exception) {
    WriteExceptionLine(where, exception.className.c_str());
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

MonoObject* NewObjectOfClass(MonoImage* image, const char* nameSpace, const char* className, MonoClass** klassOut,
                             const std::string& noClass, const std::string& noObject) {
    MonoClass* klass = mono_class_from_name_ptr(image, nameSpace, className);
    if (klassOut) *klassOut = klass;
    if (klass == nullptr) {
        g_vCloudDebug.error("%s", noClass.c_str());
        return nullptr;
    }
    MonoObject* object = mono_object_new_ptr(g_domain, klass);
    if (object == nullptr) g_vCloudDebug.error("%s", noObject.c_str());
    return object;
}

MonoObject* NewManagedDateTime() {
    return NewObjectOfClass(mono_get_corlib_ptr(), "System", "DateTime", nullptr, "Could not get datetime class",
                            "Could not create datetime object");
}

MonoObject* NewManagedObjectVCloud(const char* className, bool runConstructor) {
    MonoObject* object = NewObjectOfClass(g_vCloudImage, kWrapperNamespace, className, nullptr,
                                          std::string("Could not find class [") + className + "]",
                                          std::string("Could not create object of class [") + className + "]");
    if (object == nullptr) return nullptr;
    if (runConstructor) mono_runtime_object_init_ptr(object);
    return object;
}

void* GetFieldValue(MonoClass* klass, MonoObject* object, const char* field) {
    return ReadReferenceField(klass, object, field, kReference);
}

std::string GetStringFieldValue(MonoClass* klass, MonoObject* object, const char* field) {
    return gc2std(static_cast<MonoString*>(ReadReferenceField(klass, object, field, kString)));
}

bool GetBoolFieldValue(MonoClass* klass, MonoObject* object, const char* field) {
    return ReadScalarField<uint8_t>(klass, object, field, kBoolean) != 0;
}

int GetIntFieldValue(MonoClass* klass, MonoObject* object, const char* field) {
    return ReadScalarField<int32_t>(klass, object, field, kInt32);
}

int64_t GetLongFieldValue(MonoClass* klass, MonoObject* object, const char* field) {
    return ReadScalarField<int64_t>(klass, object, field, kInt64);
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
    auto* text = static_cast<MonoString*>(ReadReferenceField(klass, object, field, kString));
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
