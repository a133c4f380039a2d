#pragma once
// The maker's two web pages the updater offers: the device-backup guide after start-up and the
// support article on the wireless bonding after the keys were erased. The host names live here
// and nowhere else.

constexpr const char* kMakerSite = "https://www.tarvelgps.com";
constexpr const char* kMakerSupportSite = "https://support.tarvelgps.com";

constexpr const char* kBackupGuidePath = "/support-gps-devicebackup.php";
constexpr const char* kBondingArticlePath = "/hc/en-us/articles/360052251793";
