// Builds a package: a copy of selfextract.exe with the description written
// into its resources and the folder's ZIP archive appended behind it.
#pragma once

#include <string>
#include <vector>

#include "Extractor.h"

namespace sfxpack {

struct PackageRequest {
    std::wstring stub;    // selfextract.exe
    std::wstring folder;  // the files to ship
    std::wstring output;  // the package
    sfx::DescriptionText description;
    bool store = false;  // store entries without compressing them
};

struct PackageReport {
    size_t files = 0;
    size_t folders = 0;
    unsigned long long bytes = 0;         // uncompressed
    unsigned long long archiveBytes = 0;  // the appended archive
    unsigned long long imageBytes = 0;    // the program in front of it
};

// The archive names of folder's contents ("a/b.txt", folders as "a/"),
// sorted; false with a message when the folder cannot be read.
bool listFolder(const std::wstring& folder, std::vector<std::wstring>& names, std::wstring& error);

// Everything checked first (folder, texts, names); nothing is written when
// a check fails. false with a message on any failure.
bool buildPackage(const PackageRequest& request, PackageReport& report, std::wstring& error);

}  // namespace sfxpack
