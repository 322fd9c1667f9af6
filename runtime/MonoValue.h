// The managed value layer: text conversion, exception log, field access, object makers and image dumps,
// and the process-wide runtime globals. All functions must run on a thread attached to the runtime.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

#include "BridgeExport.h"
#include "XqLib.h"

typedef struct _MonoObject MonoObject;
typedef struct _MonoString MonoString;
typedef struct _MonoClass MonoClass;
typedef struct _MonoImage MonoImage;
typedef struct _MonoMethod MonoMethod;
typedef struct _MonoDomain MonoDomain;

// Made once per process by the runtime start; never released.
VCB_EXPORT extern MonoDomain* g_domain;
VCB_EXPORT extern MonoImage* g_vCloudImage;
VCB_EXPORT extern std::string g_vCloudMonoVersion;
VCB_EXPORT extern EvDebug g_vCloudDebug;

// Native UTF-8 text to a new managed string, up to the first NUL byte. Bytes that are not valid UTF-8
// become U+FFFD each (and an error line says how many), so a caller's text never reaches managed code as
// null.
VCB_EXPORT MonoString* std2gc(const std::string& text);
// Managed string to UTF-8; "" for null or an unconvertible string.
VCB_EXPORT std::string gc2std(MonoString* text);
// Writes "Exception caught in bridge - <class name>" attributed to `where`.
VCB_EXPORT void LogException(const char* where, MonoObject* exception);
VCB_EXPORT void LogNotPorted(const char* where);

// Walks the TypeDef table of an image: the classes of rows 2.. in table order, then null. *cursor starts
// null and is left ready for a new walk.
VCB_EXPORT MonoClass* mono_image_get_classes(MonoImage* image, void** cursor);
VCB_EXPORT void DumpClasses();
VCB_EXPORT void DumpClassMethods(MonoClass* klass);
VCB_EXPORT void DumpClassFields(MonoClass* klass);
VCB_EXPORT void DumpMethod(MonoMethod* method);

VCB_EXPORT MonoObject* NewManagedDateTime();
// A new object of class vCloudSDKWrapper.<className>; the parameterless constructor runs only when asked.
VCB_EXPORT MonoObject* NewManagedObjectVCloud(const char* className, bool runConstructor);

VCB_EXPORT void* GetFieldValue(MonoClass* klass, MonoObject* object, const char* field);
VCB_EXPORT std::string GetStringFieldValue(MonoClass* klass, MonoObject* object, const char* field);
VCB_EXPORT bool GetBoolFieldValue(MonoClass* klass, MonoObject* object, const char* field);
VCB_EXPORT int GetIntFieldValue(MonoClass* klass, MonoObject* object, const char* field);
VCB_EXPORT int64_t GetLongFieldValue(MonoClass* klass, MonoObject* object, const char* field);
VCB_EXPORT MonoObject* GetStructFieldValue(MonoClass* klass, MonoObject* object, const char* field);
VCB_EXPORT time_t GetDateTimeFieldValue(MonoClass* klass, MonoObject* object, const char* field);
VCB_EXPORT bool IsStringFieldEmpty(MonoObject* object, const char* field);
VCB_EXPORT void SetFieldValue(MonoClass* klass, MonoObject* object, const char* field, void* value);

// A new object of class nameSpace.className of `image` (its constructor not run), its class in *klassOut
// when asked; null with noClass or noObject logged when the class or the object cannot be had. Internal.
MonoObject* NewObjectOfClass(MonoImage* image, const char* nameSpace, const char* className, MonoClass** klassOut,
                             const std::string& noClass, const std::string& noObject);

// Seconds since 1970-01-01 of a boxed System.DateTime (negative before 1970); 0 on failure. Internal.
time_t DateTimeToTimeT(MonoObject* boxedDateTime);
