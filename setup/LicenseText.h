// The licence under which the program is used, shown by setup and by the
// about box.
#pragma once

inline constexpr char16_t kLicenseTitle[] = u"License Agreement";
inline constexpr char16_t kLicenseText[] =
    u"DELVORA 4.3 END USER LICENSE AGREEMENT\n\n"
    u"Please read this agreement carefully. By installing or using Delvora you accept its terms. If you do not "
    u"accept them, do not install or use the program.\n\n"
    u"1. Licence. Marbrix Software grants you a non-exclusive, non-transferable right to install and use one copy "
    u"of Delvora on one computer at a time, for recovering your own data or data you are entitled to recover.\n\n"
    u"2. Restrictions. You may not rent, lease, sell or sublicense the program, nor remove its notices. You may "
    u"not use it to read data you have no right to read.\n\n"
    u"3. Your data. Delvora opens every source for reading only. Recovery is never certain: files may be "
    u"incomplete or damaged, and writing anything to the drive that holds lost data (recovered files, other "
    u"programs, this program's own files) may destroy that data for good. Save recovered files to another drive "
    u"and keep copies of what matters.\n\n"
    u"4. No warranty. The program is provided \"as is\", without warranty of any kind, express or implied, "
    u"including fitness for a particular purpose. The whole risk of its use and of its results is yours.\n\n"
    u"5. Limitation of liability. In no event is Marbrix Software liable for any damages, including lost data, "
    u"lost profits or the cost of recovery, arising from the use of or the inability to use the program, even "
    u"when advised of their possibility. Where such a limit is not allowed, liability is limited to the price "
    u"you paid for the licence.\n\n"
    u"6. Termination. This licence ends when you break its terms; you must then remove every copy of the "
    u"program.\n\n"
    u"7. Ownership. The program and its documentation remain the property of Marbrix Software and are protected "
    u"by copyright.\n";
