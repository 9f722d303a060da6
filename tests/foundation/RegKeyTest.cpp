#include "foundation/RegKey.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>

#include "tests/support/TestUtil.h"
#include "platform/Platform.h"

namespace {

class RegKeyTest : public testing::Test {
 protected:
  TempFolder temp_{"regkey"};
  void SetUp() override {
    const char* old = getenv("XDG_CONFIG_HOME");
    hadOld_ = old != nullptr;
    if (old) old_ = old;
    home = temp_.Path() + "/config";
    setenv("XDG_CONFIG_HOME", home.c_str(), 1);
    system_ = temp_.Path() + "/system";
    setenv("DELVORA_SYSTEM_ROOT", system_.c_str(), 1);
  }
  void TearDown() override {
    unsetenv("DELVORA_SYSTEM_ROOT");
    if (hadOld_) setenv("XDG_CONFIG_HOME", old_.c_str(), 1);
    else unsetenv("XDG_CONFIG_HOME");
  }
  std::string system_;
  std::string UserFile() const { return home + "/delvora/user.keys"; }
  std::vector<std::string> FolderEntries() const {
    std::vector<std::string> names;
    if (DIR* d = opendir((home + "/delvora").c_str())) {
      while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
      closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
  }
  std::string home;

 private:
  bool hadOld_ = false;
  std::string old_;
};

// A text as the wide calls give it: its units and the terminator (a
// multi-string's inner zeros included).
WString Units(const char16_t* text, size_t units) { return WString(text, units); }

TEST_F(RegKeyTest, StoreLivesInTheConfigFolder) {
  EXPECT_EQ(plat::ConfigDir(), home + "/delvora/");
  EXPECT_EQ(KeyStore::StoreFile(KeyRoot::User), home + "/delvora/user.keys");
  // The machine's store is one for every user.
  EXPECT_EQ(KeyStore::StoreFile(KeyRoot::Machine), system_ + "/var/lib/delvora/machine.keys");
  EXPECT_EQ(KeyStore::StoreFile(KeyRoot::Classes), "");
}

TEST_F(RegKeyTest, WideValuesRoundTripThroughBothForms) {
  CMyRegKey k;
  ASSERT_EQ(k.CreateW(kKeyRootUser, u"Software\\Delvora\\Settings"), 0);
  struct Case {
    const char16_t* name;
    uint32_t type;
    WString text;      // units without the final terminator
    std::string utf8;  // the narrow form's bytes without the final terminator
  } cases[] = {
      {u"Plain", REG_SZ, u"hello", "hello"},
      {u"Empty", REG_SZ, u"", ""},
      {u"Awkward", REG_SZ, u"tab\there\nline\\back\rx", "tab\there\nline\\back\rx"},
      {u"Accents \u00e9", REG_EXPAND_SZ, u"%HOME%/caf\u00e9 \U0001F600", "%HOME%/caf\xC3\xA9 \xF0\x9F\x98\x80"},
      {u"Multi", REG_MULTI_SZ, Units(u"one\0two\0", 8), std::string("one\0two\0", 8)},
  };
  for (const Case& c : cases) {
    WString data = c.text + u'\0';
    if (c.type == REG_MULTI_SZ) data += u'\0';
    ASSERT_EQ(k.SetValueW(c.name, c.type, data.data()), 0) << ToUtf8(c.name);
  }
  ASSERT_EQ(k.Close(), 0);

  CMyRegKey r;
  ASSERT_EQ(r.OpenW(kKeyRootUser, u"software\\DELVORA\\settings"), 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(ToUtf8(c.name));
    char16_t wide[64];
    memset(wide, 0x55, sizeof wide);
    uint32_t type = 0, size = sizeof wide - 2;
    ASSERT_EQ(r.QueryValueW(c.name, &type, wide, &size), 0);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(size, (c.text.size() + 1) * 2);
    EXPECT_EQ(WString(wide, size / 2), c.text + u'\0');
    EXPECT_EQ(reinterpret_cast<const char*>(wide)[size], 0);  // the extra zero byte

    char narrow[64];
    memset(narrow, 0x55, sizeof narrow);
    size = sizeof narrow - 1;
    ASSERT_EQ(r.QueryValue(ToUtf8(c.name).c_str(), &type, narrow, &size), 0);
    EXPECT_EQ(std::string(narrow, size), c.utf8 + '\0');
    EXPECT_EQ(narrow[size], 0);
  }
}

TEST_F(RegKeyTest, NarrowValuesAndNumbers) {
  CMyRegKey k;
  ASSERT_EQ(k.Create(kKeyRootUser, "Software\\Delvora"), 0);
  ASSERT_EQ(k.SetValue("Folder", REG_SZ, "/home/user/caf\xC3\xA9"), 0);
  ASSERT_EQ(k.SetValue("List", REG_MULTI_SZ, "a\0bc\0\0"), 0);
  ASSERT_EQ(k.SetValue("Bad UTF-8", REG_SZ, "x\xFFy"), 0);
  uint32_t tips = 1;
  ASSERT_EQ(k.SetValue("Tips", REG_DWORD, &tips), 0);

  char16_t wide[32];
  uint32_t type = 0, size = sizeof wide - 2;
  ASSERT_EQ(k.QueryValueW(u"Folder", &type, wide, &size), 0);
  EXPECT_EQ(WString(wide, size / 2), WString(u"/home/user/caf\u00e9") + u'\0');
  size = sizeof wide - 2;
  ASSERT_EQ(k.QueryValueW(u"List", &type, wide, &size), 0);
  EXPECT_EQ(type, REG_MULTI_SZ);
  EXPECT_EQ(WString(wide, size / 2), Units(u"a\0bc\0\0", 6));
  size = sizeof wide - 2;
  ASSERT_EQ(k.QueryValueW(u"bad utf-8", &type, wide, &size), 0);
  EXPECT_EQ(WString(wide, size / 2), Units(u"x\uFFFDy\0", 4));

  uint32_t out = 0;
  size = sizeof out;
  ASSERT_EQ(k.QueryValue("TIPS", &type, &out, &size), 0);
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(out, 1u);
}

TEST_F(RegKeyTest, DwordTakesFourBytesWhateverThePointerHolds) {
  CMyRegKey k;
  ASSERT_EQ(k.CreateW(kKeyRootUser, u"Numbers"), 0);
  const uint64_t wideNumber = 0x1122334455667788ULL;
  ASSERT_EQ(k.SetValueW(u"Low", REG_DWORD, &wideNumber), 0);
  ASSERT_EQ(k.SetValueW(u"Text", REG_DWORD, u"ABCDEFGH"), 0);
  ASSERT_EQ(k.SetValueW(u"Binary", 3, "\x01\x02\x03\x04\x05"), 0);
  uint8_t buf[16];
  uint32_t type = 0, size = sizeof buf;
  ASSERT_EQ(k.QueryValueW(u"Low", &type, buf, &size), 0);
  EXPECT_EQ(size, 4u);
  uint32_t low;
  memcpy(&low, buf, 4);
  EXPECT_EQ(low, 0x55667788u);
  size = sizeof buf;
  ASSERT_EQ(k.QueryValueW(u"Text", &type, buf, &size), 0);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(memcmp(buf, u"AB", 4), 0);
  size = sizeof buf;
  ASSERT_EQ(k.QueryValueW(u"Binary", &type, buf, &size), 0);
  EXPECT_EQ(type, 3u);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(memcmp(buf, "\x01\x02\x03\x04", 4), 0);
  // Survives a rewrite of the file.
  ASSERT_EQ(k.SetValueW(u"Other", REG_DWORD, &low), 0);
  size = sizeof buf;
  ASSERT_EQ(k.QueryValueW(u"Binary", &type, buf, &size), 0);
  EXPECT_EQ(memcmp(buf, "\x01\x02\x03\x04", 4), 0);
}

TEST_F(RegKeyTest, FailuresLeaveTheBufferAlone) {
  CMyRegKey k;
  ASSERT_EQ(k.Create(kKeyRootUser, "Software\\Delvora"), 0);
  ASSERT_EQ(k.SetValue("Name", REG_SZ, "abcdef"), 0);

  char buf[8];
  memset(buf, 'Z', sizeof buf);
  uint32_t type = 99, size = 5;
  EXPECT_EQ(k.QueryValue("Missing", &type, buf, &size), ENOENT);
  EXPECT_EQ(type, 99u);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(std::string(buf, sizeof buf), std::string(8, 'Z'));

  EXPECT_EQ(k.QueryValue("Name", &type, buf, &size), ERANGE);  // 7 bytes needed
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(std::string(buf, sizeof buf), std::string(8, 'Z'));
  size = 0;
  EXPECT_EQ(k.QueryValue("Name", &type, nullptr, &size), 0);
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(k.QueryValue("Name", &type, buf, nullptr), EINVAL);
  EXPECT_EQ(k.SetValue("Name", REG_SZ, nullptr), EINVAL);

  CMyRegKey missing;
  EXPECT_EQ(missing.Open(kKeyRootUser, "Software\\Nobody"), ENOENT);
  EXPECT_FALSE(missing.key.IsOpen());
  EXPECT_EQ(missing.QueryValue("Name", &type, buf, &size), EBADF);
  EXPECT_EQ(missing.Close(), EBADF);
  EXPECT_EQ(missing.Open(kKeyRootMachine, "Software\\Delvora"), ENOENT);  // another root

  CMyRegKey classes;
  EXPECT_EQ(classes.Open(kKeyRootClasses, ".dvs"), ENOTSUP);
  EXPECT_EQ(classes.Create(kKeyRootClasses, ".dvs"), ENOTSUP);

  std::string tooLong(KeyStore::kMaxPathBytes + 1, 'k');
  EXPECT_EQ(classes.Create(kKeyRootUser, tooLong.c_str()), ENAMETOOLONG);
  EXPECT_EQ(k.SetValue(tooLong.c_str(), REG_SZ, "x"), ENAMETOOLONG);
  std::string big(KeyStore::kMaxValueBytes + 10, 'v');
  EXPECT_EQ(k.SetValue("Big", REG_SZ, big.c_str()), E2BIG);
}

TEST_F(RegKeyTest, ReadAccessKeysRefuseWrites) {
  CMyRegKey w, r, sub;
  ASSERT_EQ(w.Create(kKeyRootUser, "A\\B"), 0);
  ASSERT_EQ(r.Open(kKeyRootUser, "A"), 0);
  uint32_t one = 1;
  EXPECT_EQ(r.SetValue("x", REG_DWORD, &one), EACCES);
  EXPECT_EQ(sub.Create(r.key, "C"), EACCES);
  EXPECT_EQ(sub.Open(r.key, "B"), 0);  // a child through an open key
  EXPECT_EQ(sub.key.path, "A\\B");
  EXPECT_EQ(sub.Open(r.key, ""), 0);  // the key itself
  EXPECT_EQ(sub.key.path, "A");
  EXPECT_EQ(r.Close(), 0);
  EXPECT_EQ(r.Close(), EBADF);
  EXPECT_EQ(r.SetValue("x", REG_DWORD, &one), EBADF);
}

TEST_F(RegKeyTest, PathsAreNormalisedAndKeysPersist) {
  {
    CMyRegKey k;
    ASSERT_EQ(k.Create(kKeyRootUser, "\\Software\\\\Delvora\\"), 0);
    EXPECT_EQ(k.key.path, "Software\\Delvora");
    ASSERT_EQ(k.SetValue(nullptr, REG_SZ, "default"), 0);
    ASSERT_EQ(k.Create(kKeyRootMachine, "Software\\Delvora\\Install"), 0);
  }  // the destructor leaves nothing to clean up
  CMyRegKey k;
  EXPECT_EQ(k.Open(kKeyRootUser, "SOFTWARE"), 0);  // parents exist too
  EXPECT_EQ(k.Open(kKeyRootMachine, "software\\delvora\\install"), 0);
  ASSERT_EQ(k.Open(kKeyRootUser, "Software\\Delvora"), 0);
  char buf[16];
  uint32_t type = 0, size = sizeof buf - 1;
  ASSERT_EQ(k.QueryValue("", &type, buf, &size), 0);
  EXPECT_STREQ(buf, "default");

  // Written whole through a temporary file: only the stores and the lock
  // remain, readable by the user alone.
  EXPECT_EQ(FolderEntries(), (std::vector<std::string>{"keys.lock", "user.keys"}));
  struct stat st;
  ASSERT_EQ(stat(KeyStore::StoreFile(KeyRoot::Machine).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);  // everyone reads what root installed

  ASSERT_EQ(stat(UserFile().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  std::string text = ReadFileText(UserFile());
  EXPECT_NE(text.find("K\tSoftware\\\\Delvora\n"), std::string::npos) << text;
  EXPECT_NE(text.find("V\tSoftware\\\\Delvora\t\t1\tdefault\n"), std::string::npos) << text;

  // Deleting a key takes its sub keys, not a sibling whose name begins alike.
  ASSERT_EQ(k.Create(kKeyRootUser, "Software\\Delvora\\Sub\\Deep"), 0);
  ASSERT_EQ(k.Create(kKeyRootUser, "Software\\Delvora 2"), 0);
  EXPECT_EQ(KeyStore::DeleteKey(KeyRoot::User, "software\\delvora"), 0);
  EXPECT_EQ(KeyStore::KeyExists(KeyRoot::User, "Software\\Delvora\\Sub"), ENOENT);
  EXPECT_EQ(KeyStore::KeyExists(KeyRoot::User, "Software\\Delvora 2"), 0);
  EXPECT_EQ(KeyStore::DeleteKey(KeyRoot::User, "Software\\Delvora"), ENOENT);
  ASSERT_EQ(k.Open(kKeyRootUser, "Software\\Delvora 2"), 0);
}

TEST_F(RegKeyTest, DamagedLinesAreSkipped) {
  ASSERT_EQ(system(("mkdir -p '" + home + "/delvora'").c_str()), 0);
  // "|" stands for a tab; paths escape their backslashes.
  std::string text = R"(# comment
K|Good\\Key
V|Good\\Key|Name|1|value one\r
V|Good\\Key|Num|4|4294967295
V|Good\\Key|Hex|3|x:0a0B
V|Good\\Key|TooBig|4|4294967296
V|Good\\Key|BadEscape|1|ab\q
V|Good\\Key|Single|1|a\
V|Good\\Key|BadHex|3|x:0g
V|Good\\Key|OddHex|3|x:012
V|Good\\Key|Fields|1
V|Good\\Key|Type|one|x
V|Good\Key|Unescaped|1|x
Q|Unknown
)";
  text += std::string("\0\0\xFF\xFE garbage\n", 13);
  text += "V|Other|Long|1|" + std::string(KeyStore::kMaxLineBytes, 'x') + "\n";
  text += R"(V|Implied\\Parent|Esc|1|\x41\t\\
V|Good\\Key|Cut|1|truncated line)";
  for (char& c : text) {
    if (c == '|') c = '\t';
  }
  for (size_t at; (at = text.find("\\r\n")) != std::string::npos;) text.replace(at, 3, "\r\n");
  WriteFileText(UserFile(), text);

  CMyRegKey k;
  ASSERT_EQ(k.Open(kKeyRootUser, "good\\key"), 0);
  char buf[64];
  uint32_t type = 0, size = sizeof buf - 1;
  ASSERT_EQ(k.QueryValue("name", &type, buf, &size), 0);
  EXPECT_STREQ(buf, "value one");
  uint32_t n = 0;
  size = 4;
  ASSERT_EQ(k.QueryValue("Num", &type, &n, &size), 0);
  EXPECT_EQ(n, 4294967295u);
  size = sizeof buf;
  ASSERT_EQ(k.QueryValue("Hex", &type, buf, &size), 0);
  EXPECT_EQ(std::string(buf, size), "\x0a\x0b");
  size = sizeof buf - 1;
  ASSERT_EQ(k.QueryValue("Cut", &type, buf, &size), 0);  // a last line without its end is whole
  EXPECT_STREQ(buf, "truncated line");
  for (const char* bad : {"TooBig", "BadEscape", "Single", "BadHex", "OddHex", "Fields", "Type", "Unescaped"}) {
    size = sizeof buf;
    EXPECT_EQ(k.QueryValue(bad, &type, buf, &size), ENOENT) << bad;
  }
  EXPECT_EQ(k.Open(kKeyRootUser, "Other"), ENOENT);
  ASSERT_EQ(k.Open(kKeyRootUser, "Implied"), 0);
  ASSERT_EQ(k.Open(kKeyRootUser, "Implied\\Parent"), 0);
  size = sizeof buf - 1;
  ASSERT_EQ(k.QueryValue("Esc", &type, buf, &size), 0);
  EXPECT_STREQ(buf, "A\t\\");

  // The next write keeps what was readable and drops the damage.
  CMyRegKey w;
  ASSERT_EQ(w.Create(kKeyRootUser, "Good\\Key"), 0);
  ASSERT_EQ(w.SetValue("Added", REG_SZ, "new"), 0);
  KeyStore reread;
  reread.Parse(ReadFileText(UserFile()));
  ASSERT_NE(reread.Find("Good\\Key", "Num"), nullptr);
  ASSERT_NE(reread.Find("Good\\Key", "Added"), nullptr);
  EXPECT_EQ(reread.Find("Good\\Key", "BadHex"), nullptr);
  EXPECT_EQ(ReadFileText(UserFile()).find("garbage"), std::string::npos);
}

TEST_F(RegKeyTest, SerialisedStoreReadsBackTheSame) {
  std::mt19937 rng(7);
  KeyStore a;
  for (int k = 0; k < 300; ++k) {
    std::string path, name, data;
    for (int c = 0, n = int(rng() % 12) + 1; c < n; ++c) path.push_back("ab\\\t\n %"[rng() % 8]);
    for (int c = 0, n = int(rng() % 8); c < n; ++c) name.push_back(char(rng() % 127 + 1));
    for (int c = 0, n = int(rng() % 20); c < n; ++c) data.push_back(char(rng() % 128));
    std::string normal;
    ASSERT_TRUE(KeyStore::NormalizePath(path, &normal));
    uint32_t type = rng() % 8;
    if (!KeyStore::IsStringType(type) && rng() % 2) data.resize(4);
    a.Set(normal, name, KeyValue{type, data});
  }
  std::string text = a.Serialize();
  KeyStore b;
  b.Parse(text);
  EXPECT_EQ(b.Serialize(), text);
  EXPECT_EQ(b.KeyCount(), a.KeyCount());
}

TEST_F(RegKeyTest, ConcurrentWritersLoseNothing) {
  constexpr int kThreads = 6, kValues = 15;
  std::vector<std::thread> threads;
  std::vector<int> errors(kThreads, 0);
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &errors] {
      CMyRegKey k;
      if (k.Create(kKeyRootUser, "Shared")) ++errors[size_t(t)];
      for (int v = 0; v < kValues; ++v) {
        uint32_t n = uint32_t(t * 100 + v);
        if (k.SetValue(("v" + std::to_string(n)).c_str(), REG_DWORD, &n)) ++errors[size_t(t)];
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(errors, std::vector<int>(kThreads, 0));
  CMyRegKey r;
  ASSERT_EQ(r.Open(kKeyRootUser, "Shared"), 0);
  for (int t = 0; t < kThreads; ++t) {
    for (int v = 0; v < kValues; ++v) {
      uint32_t n = uint32_t(t * 100 + v), out = 0, type = 0, size = 4;
      ASSERT_EQ(r.QueryValue(("v" + std::to_string(n)).c_str(), &type, &out, &size), 0) << n;
      EXPECT_EQ(out, n);
    }
  }
}

}  // namespace
