// mvnmon's Configure Port and New Port dialogs, run in this process on the
// headless backend with scripted input, as a user would fill them in.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/mailslot/launcher.h"
#include "platform/dialogs/script.h"
#include "platform/mailslot/mailslot.h"
#include "platform/registry/registry.h"
#include "portmon/nt/mvnmon.h"
#include "tests/support/tempdir.h"

extern "C" LPMONITOREX InitializePrintMonitor(LPWSTR pRegistryRoot);

namespace dlg = mvn::dialogs;
namespace fs = std::filesystem;

namespace {

constexpr int kOutput = 1001, kApplication = 1002, kSetup = 1003, kLaunchAfter = 1004, kStartup = 1005;
constexpr int kNewPort = 1007;

mvntest::TestRoot& Root() {
  static auto* s_root = new mvntest::TestRoot;
  return *s_root;
}

class PortDialogs : public testing::Test {
 protected:
  void SetUp() override {
    Root();
    setenv("MVN_DIALOGS", "headless", 1);
    static int s_count = 0;
    // A root of its own per test: the port list is read afresh.
    m_root = "SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\DialogTest" + std::to_string(++s_count);
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, m_root.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    dlg::SetMessageBoxScript([this](HWND, const char* text, const char* caption, UINT) {
      boxes.push_back(std::string(caption) + ": " + text);
      return IDOK;
    });
  }
  void TearDown() override {
    dlg::SetMessageBoxScript(nullptr);
    dlg::SetScript(nullptr);
  }

  void MakePort(const std::string& port) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (m_root + "\\" + port).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
  }
  void Set(const std::string& port, const char* value, const std::string& text) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, (m_root + "\\" + port).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key, value, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>(text.size() + 1));
    RegCloseKey(key);
  }
  // The value's text, or "<none>".
  std::string Get(const std::string& port, const char* value) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, (m_root + "\\" + port).c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
      return "<no key>";
    char text[1024];
    DWORD size = sizeof text;
    DWORD type = 0;
    LONG status = RegQueryValueExA(key, value, nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? std::string(text) : "<none>";
  }
  MONITOR& Table() {
    std::u16string root(m_root.begin(), m_root.end());
    LPMONITOREX table = InitializePrintMonitor(root.data());
    return table->Monitor;
  }
  bool Configure(const char16_t* port) {
    std::u16string name = port;
    return Table().pfnConfigurePort(nullptr, nullptr, name.data()) != FALSE;
  }
  std::vector<std::string> Ports() {
    DWORD needed = 0, count = 0;
    Table().pfnEnumPorts(nullptr, 1, nullptr, 0, &needed, &count);
    std::vector<BYTE> buffer(needed + 1);
    std::vector<std::string> names;
    if (!Table().pfnEnumPorts(nullptr, 1, buffer.data(), needed, &needed, &count)) return names;
    for (DWORD i = 0; i < count; ++i) {
      const char16_t* name = reinterpret_cast<PORT_INFO_1W*>(buffer.data())[i].pName;
      names.emplace_back(name, name + std::char_traits<char16_t>::length(name));
    }
    return names;
  }
  static std::string Text(HWND dialog, int id) {
    char text[2048] = "";
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
  }

  std::string m_root;
  std::vector<std::string> boxes;
  mvntest::TempDir folder;
};

TEST_F(PortDialogs, ConfigureShowsTheSettingsAndSavesThemInFull) {
  MakePort("MVN1");
  Set("MVN1", "OutputDirectory", "/old");
  Set("MVN1", "ExternalApplication", "viewer --page");
  Set("MVN1", "Launch", "2");
  Set("MVN1", "MailSlot", "\\\\.\\mailslot\\keep");
  fs::create_directories(folder.path() / "out");
  mvntest::WriteFile(folder / "app", "#!/bin/sh\n");
  std::string caption;
  bool ticked = false;
  UINT limit = 0;
  dlg::SetScript([&](HWND dialog) {
    char text[64];
    GetWindowTextA(dialog, text, sizeof text);
    caption = text;
    EXPECT_EQ(Text(dialog, kOutput), "/old");
    EXPECT_EQ(Text(dialog, kApplication), "viewer --page");
    EXPECT_EQ(GetFocus(), GetDlgItem(dialog, kOutput));
    ticked = IsDlgButtonChecked(dialog, kLaunchAfter) == BST_CHECKED;
    limit = static_cast<UINT>(SendDlgItemMessageA(dialog, kOutput, EM_GETLIMITTEXT, 0, 0));
    COLORREF textColour = 0, background = 0;
    EXPECT_TRUE(dlg::GetControlColours(dlg::FindControl(dialog, kApplication), &textColour, &background));
    EXPECT_EQ(textColour, RGB(0, 0, 127));
    EXPECT_EQ(background, RGB(255, 255, 255));
    // Relative names become full paths: other processes read them.
    ASSERT_EQ(chdir(folder.str().c_str()), 0);
    EXPECT_TRUE(dlg::TypeText(dlg::FindControl(dialog, kOutput), "out"));
    EXPECT_TRUE(dlg::TypeText(dlg::FindControl(dialog, kApplication), "app"));
    EXPECT_TRUE(dlg::Click(dlg::FindControl(dialog, kLaunchAfter)));
    EXPECT_TRUE(dlg::PressButton(dialog, IDOK));
  });
  EXPECT_TRUE(Configure(u"MVN1"));
  EXPECT_EQ(caption, "Configure MVN1");
  EXPECT_TRUE(ticked);
  EXPECT_EQ(limit, 259u);
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(Get("MVN1", "OutputDirectory"), folder / "out");
  EXPECT_EQ(Get("MVN1", "ExternalApplication"), folder / "app");
  EXPECT_EQ(Get("MVN1", "Launch"), "1");
  EXPECT_EQ(Get("MVN1", "StartupDirectory"), "<none>");
  EXPECT_EQ(Get("MVN1", "MailSlot"), "\\\\.\\mailslot\\keep");
}

TEST_F(PortDialogs, AnInvalidDirectoryIsSaidTheFocusGoesBackAndNothingIsSaved) {
  MakePort("MVN2");
  Set("MVN2", "OutputDirectory", folder.str());
  mvntest::WriteFile(folder / "plain", "x");
  struct Case {
    int field;
    std::string typed;
  };
  for (const Case& c : {Case{kOutput, "/no/such/folder"}, Case{kStartup, folder / "plain"}}) {
    boxes.clear();
    bool open = false;
    HWND focus = nullptr, field = nullptr;
    dlg::SetScript([&](HWND dialog) {
      EXPECT_TRUE(dlg::TypeText(dlg::FindControl(dialog, c.field), c.typed));
      EXPECT_TRUE(dlg::PressButton(dialog, IDOK));
      open = IsWindow(dialog);
      focus = GetFocus();
      field = GetDlgItem(dialog, c.field);
      EXPECT_EQ(Text(dialog, c.field), c.typed);  // the field keeps its text
      EXPECT_TRUE(dlg::PressButton(dialog, IDCANCEL));
    });
    EXPECT_TRUE(Configure(u"MVN2"));
    EXPECT_TRUE(open);
    EXPECT_EQ(focus, field);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], "Invalid Field: Unable to access [" + c.typed + "]");
    EXPECT_EQ(Get("MVN2", "OutputDirectory"), folder.str());
    EXPECT_EQ(Get("MVN2", "StartupDirectory"), "<none>");
  }
}

TEST_F(PortDialogs, LaunchChoiceRoundTripsAndAnEmptyApplicationRemovesBoth) {
  struct Case {
    const char* launch;       // before
    const char* application;  // typed, or nullptr for unchanged
    bool click;
    bool tickedBefore;
    const char* savedLaunch;
    const char* savedApplication;
  };
  const Case cases[] = {
      {"1", nullptr, false, false, "1", "viewer"},
      {"2", nullptr, false, true, "2", "viewer"},
      {"2", nullptr, true, true, "1", "viewer"},
      {"0", nullptr, false, false, "1", "viewer"},
      {"2", "", false, true, "<none>", "<none>"},
      {"1", "other -x \"%1\"", false, false, "1", "other -x \"%1\""},  // arguments stay as typed
  };
  int n = 0;
  for (const Case& c : cases) {
    std::string port = "MVN" + std::to_string(10 + n++);
    MakePort(port);
    Table();  // the new port's key is read
    Set(port, "ExternalApplication", "viewer");
    Set(port, "Launch", c.launch);
    bool ticked = false;
    dlg::SetScript([&](HWND dialog) {
      ticked = IsDlgButtonChecked(dialog, kLaunchAfter) == BST_CHECKED;
      if (c.application) {
        EXPECT_TRUE(dlg::TypeText(dlg::FindControl(dialog, kApplication), c.application));
      }
      if (c.click) {
        EXPECT_TRUE(dlg::Click(dlg::FindControl(dialog, kLaunchAfter)));
      }
      EXPECT_TRUE(dlg::PressButton(dialog, IDOK));
    });
    std::u16string name(port.begin(), port.end());
    EXPECT_TRUE(Configure(name.c_str()));
    EXPECT_EQ(ticked, c.tickedBefore) << port;
    EXPECT_EQ(Get(port, "Launch"), c.savedLaunch) << port;
    EXPECT_EQ(Get(port, "ExternalApplication"), c.savedApplication) << port;
  }
}

TEST_F(PortDialogs, EditsTakeAtMost259BytesAndCancelSavesNothing) {
  MakePort("MVN4");
  dlg::SetScript([&](HWND dialog) {
    EXPECT_TRUE(dlg::TypeText(dlg::FindControl(dialog, kApplication), std::string(300, 'a')));
    EXPECT_EQ(Text(dialog, kApplication).size(), 259u);
    EXPECT_TRUE(dlg::PressButton(dialog, IDCANCEL));
  });
  EXPECT_TRUE(Configure(u"MVN4"));
  EXPECT_EQ(Get("MVN4", "ExternalApplication"), "<none>");
  dlg::SetScript([&](HWND dialog) {
    EXPECT_TRUE(dlg::TypeText(dlg::FindControl(dialog, kApplication), std::string(300, 'a')));
    EXPECT_TRUE(dlg::PressButton(dialog, IDOK));
  });
  EXPECT_TRUE(Configure(u"MVN4"));
  EXPECT_EQ(Get("MVN4", "ExternalApplication"), std::string(259, 'a'));
}

TEST_F(PortDialogs, AValueTooLongToShowIsKeptByOk) {
  // 150 characters, 300 bytes of UTF-8: over what a field holds. The field
  // shows empty, and OK leaves the value (and the launch choice) alone;
  // what is typed instead replaces it.
  std::string longFolder;
  for (int i = 0; i < 150; ++i) longFolder += "\xC3\xA9";
  MakePort("MVN6");
  Set("MVN6", "OutputDirectory", longFolder);
  Set("MVN6", "ExternalApplication", longFolder);
  Set("MVN6", "Launch", "2");
  dlg::SetScript([&](HWND dialog) {
    EXPECT_EQ(Text(dialog, kOutput), "");
    EXPECT_TRUE(dlg::PressButton(dialog, IDOK));
  });
  EXPECT_TRUE(Configure(u"MVN6"));
  EXPECT_EQ(Get("MVN6", "OutputDirectory"), longFolder);
  EXPECT_EQ(Get("MVN6", "ExternalApplication"), longFolder);
  EXPECT_EQ(Get("MVN6", "Launch"), "2");
  const std::string typed = folder.str();
  dlg::SetScript([&](HWND dialog) {
    EXPECT_TRUE(dlg::TypeText(dlg::FindControl(dialog, kOutput), typed));
    EXPECT_TRUE(dlg::PressButton(dialog, IDOK));
  });
  EXPECT_TRUE(Configure(u"MVN6"));
  EXPECT_EQ(Get("MVN6", "OutputDirectory"), typed);
  EXPECT_EQ(Get("MVN6", "ExternalApplication"), longFolder);
}

// The monitor's own Configure Port procedure on the dialog layer: an
// invalid field keeps the dialog open, owned box and focus back, until it
// is fixed; then OK saves and ends it.
TEST_F(PortDialogs, ConfigurePortKeepsAnInvalidFieldOpenUntilItIsFixed) {
  MakePort("MVN1");
  Set("MVN1", "OutputDirectory", "/no/such/directory");
  std::vector<HWND> owners;
  std::vector<UINT> types;
  dlg::SetMessageBoxScript([&](HWND owner, const char* text, const char* caption, UINT type) {
    boxes.push_back(std::string(caption) + ": " + text);
    owners.push_back(owner);
    types.push_back(type);
    return IDOK;
  });
  HWND shown = nullptr;
  dlg::SetScript([&](HWND dialog) {
    shown = dialog;
    char caption[64];
    GetWindowTextA(dialog, caption, sizeof(caption));
    EXPECT_STREQ(caption, "Configure MVN1");
    EXPECT_EQ(GetFocus(), GetDlgItem(dialog, kOutput));
    EXPECT_TRUE(dlg::PressButton(dialog, IDOK));
    EXPECT_TRUE(IsWindow(dialog)) << "the dialog stays open on an invalid field";
    EXPECT_EQ(GetFocus(), GetDlgItem(dialog, kOutput));
    EXPECT_TRUE(dlg::TypeText(GetDlgItem(dialog, kOutput), folder.str()));
    EXPECT_TRUE(dlg::PressButton(dialog, IDOK));
    EXPECT_FALSE(dlg::PressButton(dialog, IDOK)) << "an ended dialog takes no more input";
  });
  EXPECT_TRUE(Configure(u"MVN1"));
  EXPECT_EQ(Get("MVN1", "OutputDirectory"), folder.str());
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0], "Invalid Field: Unable to access [/no/such/directory]");
  EXPECT_EQ(owners[0], shown);
  EXPECT_EQ(types[0], static_cast<UINT>(MB_ICONERROR));
}

// An output folder the spooler service would refuse jobs in is said when
// OK is pressed, with the folder and the reason: No (the default) keeps
// the dialog open on the field with nothing saved, Yes saves it as typed.
TEST_F(PortDialogs, ConfigurePortSaysWhenTheServiceWouldRefuseTheOutputFolder) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to give folders and links to another user";
  constexpr uid_t kUser = 60001;
  const std::string owned = folder / "ann";
  fs::create_directories(owned);
  ASSERT_EQ(chown(owned.c_str(), kUser, kUser), 0);
  fs::create_directories(folder / "real");
  fs::create_directory_symlink(folder / "real", folder / "through");
  ASSERT_EQ(lchown((folder / "through").c_str(), kUser, kUser), 0);
  const std::string question = "\n\nUse this folder all the same?";
  struct Case {
    std::string typed;
    std::string box;
  } cases[] = {
      {owned, "Output Directory: The output folder " + owned +
                  " belongs to the user 60001, not to root or to the spooler service's user root: the spooler "
                  "service writes only 60001's print jobs there, and every other user's job on this port fails." +
                  question},
      {folder / "through", "Output Directory: The output folder " + (folder / "through") +
                               " is reached through a symbolic link that belongs to a user: the spooler service "
                               "writes no print job there, and every job on this port fails." +
                               question},
  };
  MakePort("MVN7");
  Table();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.typed);
    Set("MVN7", "OutputDirectory", folder.str());
    std::vector<UINT> types;
    int answer = IDNO;
    dlg::SetMessageBoxScript([&](HWND, const char* text, const char* caption, UINT type) {
      boxes.push_back(std::string(caption) + ": " + text);
      types.push_back(type);
      return answer;
    });
    boxes.clear();
    bool open = false;
    HWND focus = nullptr, field = nullptr;
    std::string savedMeanwhile;
    dlg::SetScript([&](HWND dialog) {
      EXPECT_TRUE(dlg::TypeText(dlg::FindControl(dialog, kOutput), c.typed));
      EXPECT_TRUE(dlg::PressButton(dialog, IDOK));
      open = IsWindow(dialog);
      focus = GetFocus();
      field = GetDlgItem(dialog, kOutput);
      savedMeanwhile = Get("MVN7", "OutputDirectory");
      answer = IDYES;
      EXPECT_TRUE(dlg::PressButton(dialog, IDOK));
    });
    EXPECT_TRUE(Configure(u"MVN7"));
    EXPECT_TRUE(open) << "No keeps the dialog open";
    EXPECT_EQ(focus, field);
    EXPECT_EQ(savedMeanwhile, folder.str()) << "nothing is saved before the answer";
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[0], c.box);
    EXPECT_EQ(types[0], static_cast<UINT>(MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2));
    EXPECT_EQ(Get("MVN7", "OutputDirectory"), c.typed) << "Yes saves it";
  }
}

// The monitor's own New Port procedure: the free names, the first
// selected; another selection is the port made.
TEST_F(PortDialogs, NewPortOffersTheFreeNamesAndTakesTheSelection) {
  MakePort("MVN1");
  MakePort("MVN3");
  Table();
  dlg::SetScript([&](HWND dialog) {
    HWND list = GetDlgItem(dialog, kNewPort);
    EXPECT_EQ(Text(dialog, kNewPort), "MVN2");
    EXPECT_TRUE(dlg::SelectItem(list, 1));
    EXPECT_TRUE(dlg::PressButton(dialog, IDOK));
  });
  std::u16string monitor = u"MVNMON";
  EXPECT_TRUE(Table().pfnAddPort(nullptr, nullptr, monitor.data()));
  EXPECT_EQ(Get("MVN2", "Launch"), "<no key>");
  EXPECT_NE(Get("MVN4", "Launch"), "<no key>");
  EXPECT_EQ(Ports(), (std::vector<std::string>{"MVN1", "MVN3", "MVN4"}));
}

TEST_F(PortDialogs, AnUnknownPortGetsNoDialog) {
  int shown = 0;
  dlg::SetScript([&](HWND) { ++shown; });
  EXPECT_TRUE(Configure(u"MVN9"));
  EXPECT_EQ(shown, 0);
}

TEST_F(PortDialogs, NewPortOffersTheFreeNamesAndMakesTheChosenOne) {
  MakePort("MVN1");
  MakePort("MVN3");
  Table();
  std::vector<std::string> offered;
  LRESULT selected = -2;
  dlg::SetScript([&](HWND dialog) {
    HWND list = dlg::FindControl(dialog, kNewPort);
    LRESULT count = SendMessageA(list, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
      char name[16] = "";
      SendMessageA(list, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(name));
      offered.push_back(name);
    }
    selected = SendMessageA(list, CB_GETCURSEL, 0, 0);
    EXPECT_TRUE(dlg::PressButton(dialog, IDOK));
  });
  std::u16string monitor = u"MVNMON";
  EXPECT_TRUE(Table().pfnAddPort(nullptr, nullptr, monitor.data()));
  ASSERT_EQ(offered.size(), 97u);
  EXPECT_EQ(offered[0], "MVN2");
  EXPECT_EQ(offered[1], "MVN4");
  EXPECT_EQ(offered.back(), "MVN99");
  EXPECT_EQ(selected, 0);
  EXPECT_NE(Get("MVN2", "Launch"), "<no key>");  // an empty key
  EXPECT_EQ(Ports(), (std::vector<std::string>{"MVN1", "MVN3", "MVN2"}));

  // Cancel makes nothing.
  dlg::SetScript([&](HWND dialog) { EXPECT_TRUE(dlg::PressButton(dialog, IDCANCEL)); });
  EXPECT_TRUE(Table().pfnAddPort(nullptr, nullptr, monitor.data()));
  EXPECT_EQ(Get("MVN4", "Launch"), "<no key>");
}

TEST_F(PortDialogs, SetupSendsTheApplicationToTheConsoleLauncher) {
  MakePort("MVN5");
  HANDLE slot = CreateMailslotA(mvn::launcher::kConsoleSlot, 0, 2000, nullptr);
  ASSERT_NE(slot, INVALID_HANDLE_VALUE);
  dlg::SetScript([&](HWND dialog) {
    EXPECT_TRUE(dlg::TypeText(dlg::FindControl(dialog, kApplication), "faxviewer --setup"));
    EXPECT_TRUE(dlg::TypeText(dlg::FindControl(dialog, kStartup), "/tmp"));
    EXPECT_TRUE(dlg::Click(dlg::FindControl(dialog, kSetup)));
    EXPECT_TRUE(IsWindow(dialog));  // the dialog stays open
    EXPECT_TRUE(dlg::PressButton(dialog, IDCANCEL));
  });
  EXPECT_TRUE(Configure(u"MVN5"));
  std::vector<std::string> messages;
  char text[512];
  DWORD got = 0;
  while (messages.size() < 2 && ReadFile(slot, text, sizeof text, &got, nullptr)) messages.emplace_back(text);
  CloseHandle(slot);
  EXPECT_EQ(messages, (std::vector<std::string>{"#startuppath=/tmp", "faxviewer --setup"}));
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(Get("MVN5", "ExternalApplication"), "<none>");
}

TEST_F(PortDialogs, AFailedSaveIsSaidAndTheDialogStaysOpen) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a user who cannot write the machine hive";
  MakePort("MVN6");
  Table();
  fflush(nullptr);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A user who may read the machine's settings but not write them.
    if (setgid(60011) != 0 || setuid(60011) != 0) _exit(90);
    bool open = false;
    std::string typed;
    dlg::SetScript([&](HWND dialog) {
      dlg::TypeText(dlg::FindControl(dialog, kApplication), "viewer");
      dlg::PressButton(dialog, IDOK);
      open = IsWindow(dialog);
      typed = Text(dialog, kApplication);
      dlg::PressButton(dialog, IDCANCEL);
    });
    Configure(u"MVN6");
    bool said = boxes.size() == 1 && boxes[0].rfind("Error: Unable to access [", 0) == 0 &&
                boxes[0].find("\\MVN6]") != std::string::npos;
    _exit(open && typed == "viewer" && said ? 0 : 91);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_EQ(Get("MVN6", "ExternalApplication"), "<none>");
}

}  // namespace
