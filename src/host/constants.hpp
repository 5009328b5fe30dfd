// What the module knows of the Windows host and of the services it downloads from.
#pragma once

namespace tqv::host {

// Console window title set at start-up.
inline constexpr const char* console_title = "Zelk Builder - Official Final Fix";

// Release archive of the UPX packer for 64-bit Windows.
inline constexpr const char* upx_archive_url =
    "https://github.com/upx/upx/releases/download/v4.2.2/upx-4.2.2-win64.zip";
// SHA-256 of that release asset, as public package manifests record the official download; the
// only archive accepted unless TQ_VELMOR_UPX_SHA256 names another (a mirror, one's own UPX build).
inline constexpr const char* upx_archive_sha256 = "7c69b92ff2b7fb8122609312eb0a6695c9e4b88a6c784a86c92e3b7ef583281f";
inline constexpr const char* upx_digest_variable = "TQ_VELMOR_UPX_SHA256";

// Source archive of yt-dlp's master branch.
inline constexpr const char* source_archive_url = "https://github.com/yt-dlp/yt-dlp/archive/refs/heads/master.zip";

// Where users are sent when no interpreter is found.
inline constexpr const char* python_download_site = "python.org";

// Registry key (under HKCU and HKLM) with one subkey per installed interpreter version.
inline constexpr const char* python_core_key = "SOFTWARE\\Python\\PythonCore";
inline constexpr const char* install_path_subkey = "\\InstallPath";

// Install-folder roots searched for "Python3*" folders; the first is below the user's home.
inline constexpr const char* user_programs_root = "AppData\\Local\\Programs\\Python";
inline constexpr const char* program_files_root = "C:\\Program Files\\Python";
inline constexpr const char* drive_root = "C:\\Python";
inline constexpr const char* install_folder_pattern = "Python3*";
inline constexpr const char* interpreter_file = "python.exe";

// Folder of the app-launcher stubs, which are not real interpreters.
inline constexpr const char* launcher_stub_marker = "WindowsApps";

}  // namespace tqv::host
