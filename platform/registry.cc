// The registry calls, routed through the registry part of the system's
// table of calls.
#include "platform/registry.h"

#include "platform/system_calls.h"

namespace platform {

uint32_t reg_open_key_ex(RegKey key, const char* subkey, uint32_t options, uint32_t sam,
                         RegKey* result) {
  return system_calls().registry.open_key_ex(key, subkey, options, sam, result);
}

uint32_t reg_query_value_ex(RegKey key, const char* name, uint32_t* type, void* data,
                            uint32_t* size) {
  return system_calls().registry.query_value_ex(key, name, type, data, size);
}

uint32_t reg_query_info_key(RegKey key, uint32_t* subkeys, uint32_t* max_subkey_name,
                            uint32_t* values, uint32_t* max_value_name, uint32_t* max_value_data) {
  return system_calls().registry.query_info_key(key, subkeys, max_subkey_name, values,
                                                max_value_name, max_value_data);
}

uint32_t reg_enum_key_ex(RegKey key, uint32_t index, char* name, uint32_t* name_size) {
  return system_calls().registry.enum_key_ex(key, index, name, name_size);
}

uint32_t reg_enum_value(RegKey key, uint32_t index, char* name, uint32_t* name_size, uint32_t* type,
                        void* data, uint32_t* data_size) {
  return system_calls().registry.enum_value(key, index, name, name_size, type, data, data_size);
}

uint32_t reg_create_key_ex(RegKey key, const char* subkey, uint32_t options, uint32_t sam,
                           RegKey* result, uint32_t* disposition) {
  return system_calls().registry.create_key_ex(key, subkey, options, sam, result, disposition);
}

uint32_t reg_set_value_ex(RegKey key, const char* name, uint32_t type, const void* data,
                          uint32_t size) {
  return system_calls().registry.set_value_ex(key, name, type, data, size);
}

uint32_t reg_delete_value(RegKey key, const char* name) {
  return system_calls().registry.delete_value(key, name);
}

uint32_t reg_close_key(RegKey key) {
  return system_calls().registry.close_key(key);
}

}  // namespace platform
