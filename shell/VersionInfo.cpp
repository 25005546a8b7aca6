// The program's version information, read back from this section of the executable by TFileVersion:
// translation 0804 (Chinese, People's Republic) in code page 03A8 (936), and the entries of that
// translation.
[[gnu::used, gnu::section(".morvane.version")]] static const char kVersionInfo[] =
    "VarFileInfo\\Translation=0804 03A8\n"
    "StringFileInfo\\080403A8\\CompanyName=Tavrel Morvane\n"
    "StringFileInfo\\080403A8\\FileDescription=Tavrel Morvane Server\n"
    "StringFileInfo\\080403A8\\FileVersion=" MORVANE_PRODUCT_VERSION "\n"
    "StringFileInfo\\080403A8\\InternalName=morvane\n"
    "StringFileInfo\\080403A8\\OriginalFilename=morvane\n"
    "StringFileInfo\\080403A8\\ProductName=Tavrel Morvane Server\n"
    "StringFileInfo\\080403A8\\ProductVersion=" MORVANE_PRODUCT_VERSION "\n";
