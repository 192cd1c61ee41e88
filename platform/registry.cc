// The registry calls, routed through the replaceable call table.
#include "platform/registry.h"

namespace platform {

RegistryCalls& registry_calls() {
  static RegistryCalls calls = default_registry_calls();
  return calls;
}

uint32_t reg_open_key_ex(RegKey key, const char* subkey, uint32_t options, uint32_t sam,
                         RegKey* result) {
  return registry_calls().open_key_ex(key, subkey, options, sam, result);
}

uint32_t reg_query_value_ex(RegKey key, const char* name, uint32_t* type, void* data,
                            uint32_t* size) {
  return registry_calls().query_value_ex(key, name, type, data, size);
}

uint32_t reg_query_info_key(RegKey key, uint32_t* subkeys, uint32_t* max_subkey_name,
                            uint32_t* values, uint32_t* max_value_name, uint32_t* max_value_data) {
  return registry_calls().query_info_key(key, subkeys, max_subkey_name, values, max_value_name,
                                         max_value_data);
}

uint32_t reg_enum_key_ex(RegKey key, uint32_t index, char* name, uint32_t* name_size) {
  return registry_calls().enum_key_ex(key, index, name, name_size);
}

uint32_t reg_enum_value(RegKey key, uint32_t index, char* name, uint32_t* name_size, uint32_t* type,
                        void* data, uint32_t* data_size) {
  return registry_calls().enum_value(key, index, name, name_size, type, data, data_size);
}

uint32_t reg_create_key_ex(RegKey key, const char* subkey, uint32_t options, uint32_t sam,
                           RegKey* result, uint32_t* disposition) {
  return registry_calls().create_key_ex(key, subkey, options, sam, result, disposition);
}

uint32_t reg_set_value_ex(RegKey key, const char* name, uint32_t type, const void* data,
                          uint32_t size) {
  return registry_calls().set_value_ex(key, name, type, data, size);
}

uint32_t reg_delete_value(RegKey key, const char* name) {
  return registry_calls().delete_value(key, name);
}

uint32_t reg_close_key(RegKey key) {
  return registry_calls().close_key(key);
}

}  // namespace platform
