#pragma once
// Binding of the flash-download library Flashkit.dll. The driver reaches it only through
// FlashkitApi, a record of 47 function-pointer slots filled by name, and through the
// callbacks it registers with it (status callback, port callbacks).

#include <windows.h>

#include <cstddef>

// Every per-channel call names this channel.
constexpr UINT8 FLASH_CHANNEL = 1;

// Callbacks handed to the library.
typedef void (*PFN_FLASHKIT_STATUS_CALLBACK)(UINT8 Channel, INT32 Status, const char* Text);
typedef void (*PFN_FLASHKIT_PORT_WRITE)(void* Port, const char* Data, UINT32 Length,
                                        UINT32* Written);
typedef void (*PFN_FLASHKIT_PORT_READ)(void* Port, char* Buffer, UINT32 Capacity, UINT32* Count);
typedef UINT32 (*PFN_FLASHKIT_PORT_RX_AVAIL)(void* Port);

// Library calls the driver makes. StatusText is a caller-owned buffer the library may
// write a status text into; the driver never reads it.
typedef INT32 (*PFN_ZKTR_DL_set_dll_parameter)(UINT8 Code, UINT_PTR Value, char* StatusText);
typedef INT32 (*PFN_ZKTR_DL_init_callback)(PFN_FLASHKIT_STATUS_CALLBACK Callback, char* StatusText);
typedef INT32 (*PFN_ZKTR_DL_open_comm_port)(UINT8 Channel, const char* PortName,
                                            const char* AltPortName, UINT32 BaudRate,
                                            char* StatusText);
typedef INT32 (*PFN_ZKTR_DL_close_comm_port)(UINT8 Channel, char* StatusText);
typedef INT32 (*PFN_ZKTR_DL_boot_target)(UINT8 Channel, const char* ImagePath, UINT8* BootArea,
                                         char* StatusText);
// download_fls_file and download_cust_file: Entry is a DownloadItemList entry.
typedef INT32 (*PFN_ZKTR_DL_download_file)(UINT8 Channel, const char* Entry, char* StatusText);
typedef INT32 (*PFN_ZKTR_DL_end_of_process)(UINT8 Channel, char* StatusText);
typedef INT32 (*PFN_ZKTR_DL_TOC_get_nof_items)(const char* ImagePath, UINT32* Count);
typedef INT32 (*PFN_ZKTR_DL_TOC_get_item_value)(const char* ImagePath, UINT32 Index, UINT32* Value);
typedef INT32 (*PFN_ZKTR_DL_get_sys_version)(const char* ImagePath, INT32 Selector, char* Buffer,
                                             UINT32 Capacity);
// Exports the driver binds but never calls.
typedef INT32 (*PFN_ZKTR_DL_unused)();

constexpr size_t FLASHKIT_SLOT_COUNT = 47;
constexpr size_t FLASHKIT_EXPORT_COUNT = 41;

// Slot order is the library's; members named none_N are never filled.
struct FlashkitApi {
    PFN_ZKTR_DL_unused ZKTR_DL_get_dll_version;                   // 0
    PFN_ZKTR_DL_unused ZKTR_DL_get_sw_version_data;               // 1
    PFN_ZKTR_DL_set_dll_parameter ZKTR_DL_set_dll_parameter;      // 2
    PFN_ZKTR_DL_unused ZKTR_DL_dll_get_parameter;                 // 3
    PFN_ZKTR_DL_init_callback ZKTR_DL_init_callback;              // 4
    PFN_ZKTR_DL_open_comm_port ZKTR_DL_open_comm_port;            // 5
    PFN_ZKTR_DL_close_comm_port ZKTR_DL_close_comm_port;          // 6
    PFN_ZKTR_DL_boot_target ZKTR_DL_boot_target;                  // 7
    PFN_ZKTR_DL_unused ZKTR_DL_boot_bin_target;                   // 8
    PFN_ZKTR_DL_unused ZKTR_DL_set_get_control_signal;            // 9
    PFN_ZKTR_DL_unused ZKTR_DL_download_bin_image;                // 10
    PFN_ZKTR_DL_download_file ZKTR_DL_download_fls_file;          // 11
    PFN_ZKTR_DL_unused ZKTR_DL_download_eep_file;                 // 12
    PFN_ZKTR_DL_unused ZKTR_DL_download_dffs_file;                // 13
    PFN_ZKTR_DL_download_file ZKTR_DL_download_cust_file;         // 14
    PFN_ZKTR_DL_unused ZKTR_DL_upload_eep_file;                   // 15
    PFN_ZKTR_DL_unused ZKTR_DL_upload_bin_image;                  // 16
    PFN_ZKTR_DL_unused ZKTR_DL_update_static_eeprom;              // 17
    PFN_ZKTR_DL_unused ZKTR_DL_erase_image;                       // 18
    PFN_ZKTR_DL_unused ZKTR_DL_verify_flash_image;                // 19
    PFN_ZKTR_DL_unused ZKTR_DL_abort_process;                     // 20
    PFN_ZKTR_DL_unused ZKTR_DL_force_target_reset;                // 21
    PFN_ZKTR_DL_end_of_process ZKTR_DL_end_of_process;            // 22
    PFN_ZKTR_DL_unused ZKTR_DL_start_AT_mode;                     // 23
    PFN_ZKTR_DL_unused ZKTR_DL_stop_AT_mode;                      // 24
    PFN_ZKTR_DL_unused ZKTR_DL_AT_send;                           // 25
    PFN_ZKTR_DL_unused ZKTR_DL_dll_get_nof_progressbars;          // 26
    PFN_ZKTR_DL_TOC_get_nof_items ZKTR_DL_TOC_get_nof_items;      // 27
    PFN_ZKTR_DL_TOC_get_item_value ZKTR_DL_TOC_get_memory_class;  // 28
    PFN_ZKTR_DL_unused ZKTR_DL_TOC_get_hw_platform;               // 29
    PFN_ZKTR_DL_unused ZKTR_DL_TOC_get_sw_option;                 // 30
    PFN_ZKTR_DL_get_sys_version ZKTR_DL_get_sys_version;          // 31
    PFN_ZKTR_DL_unused ZKTR_DL_TOC_get_filename;                  // 32
    PFN_ZKTR_DL_unused ZKTR_DL_TOC_get_checksum;                  // 33
    PFN_ZKTR_DL_TOC_get_item_value ZKTR_DL_TOC_get_filesize;      // 34
    PFN_ZKTR_DL_unused none_35;                                   // 35
    PFN_ZKTR_DL_unused ZKTR_DL_NVM_get_nof_user_options;          // 36
    PFN_ZKTR_DL_unused ZKTR_DL_NVM_get_user_option;               // 37
    PFN_ZKTR_DL_unused ZKTR_DL_NVM_set_user_option;               // 38
    PFN_ZKTR_DL_unused none_39;                                   // 39
    PFN_ZKTR_DL_unused ZKTR_DL_trace_insert;                      // 40
    PFN_ZKTR_DL_unused ZKTR_DL_out_of_session_comm;               // 41
    PFN_ZKTR_DL_unused none_42;                                   // 42
    PFN_ZKTR_DL_unused ZKTR_get_comm_handle;                      // 43
    PFN_ZKTR_DL_unused none_44;                                   // 44
    PFN_ZKTR_DL_unused none_45;                                   // 45
    PFN_ZKTR_DL_unused none_46;                                   // 46
};
static_assert(sizeof(FlashkitApi) == FLASHKIT_SLOT_COUNT * sizeof(void*));
static_assert(offsetof(FlashkitApi, ZKTR_DL_TOC_get_filesize) == 34 * sizeof(void*));
static_assert(offsetof(FlashkitApi, ZKTR_get_comm_handle) == 43 * sizeof(void*));

// One export: its name, and the slot that receives its address.
struct FlashkitExport {
    const char* Name;
    size_t Slot;
};
// The 41 exports in the order LoadFlashkit looks them up.
extern const FlashkitExport FLASHKIT_BIND_ORDER[FLASHKIT_EXPORT_COUNT];

// Module handle; null when not loaded. Written on the framework's thread only.
extern HMODULE g_hFlashkit;
// The record, allocated by LoadFlashkit and freed by UnloadFlashkit; written before the
// download thread exists.
extern FlashkitApi* g_pFlashkitApi;

// Loads the library by name through the default search order and binds all 41 exports.
// False when the module, the record or any export is missing; the module then stays
// loaded until UnloadFlashkit.
bool LoadFlashkit(const char* Name);
// Frees the module if loaded, and the record with it.
void UnloadFlashkit();
