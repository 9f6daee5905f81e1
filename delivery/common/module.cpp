// The module skeleton: settings of the record head and the sheet.
#include "delivery/common/module.h"

#include <cstring>

MVN_STATIC_OBJECT(IdentityPage, g_identityPage);

namespace mvn::delivery {

void SetDefaultDialogTitle(DELIVERYRECORD* record) {
  record->m_dialogTitle.Reserve(1);
  LoadModuleString(IDS_CONFIGURE_DELIVERY_OPTIONS, record->m_dialogTitle.Buffer(),
                   static_cast<int>(record->m_dialogTitle.Capacity()));
}

void ReadHeadSettings(CCONFIG* config, DELIVERYRECORD* record) {
  if (!config->GetString("DialogTitle", &record->m_dialogTitle)) SetDefaultDialogTitle(record);
  config->GetString("YourName", &record->m_yourName);
  config->GetString("YourEmailAddress", &record->m_yourEmail);
  config->GetString("IdentityToken", &record->m_identityToken);
  config->GetBool("KeepFiles", &record->m_keepFiles);
}

void ReadSenderDefaults(CCONFIG* config, bool* senderDefaults) {
  bool value = false;
  if (!config->GetBool("SenderDefaults", &value)) value = false;
  *senderDefaults = value;
}

IdentityPage* Identity() { return g_identityPage.Get(); }

void LoadIdentityPage(const DELIVERYRECORD* record) {
  Identity()->Load(record->m_yourName.Text(), record->m_yourEmail.Text(), record->m_identityToken.Text(),
                   record->m_keepFiles);
}

bool ShowSheet(const DELIVERYRECORD* record, CPROPERTYPAGE* transportPage, const DialogTemplate& transportTemplate,
               WORD identityTemplate) {
  HINSTANCE instance = CXXHEAP::ModuleHandle();
  const DialogTemplate templates[] = {IdentityPageTemplate(identityTemplate), transportTemplate};
  RegisterDialogTemplates(instance, templates, 2);
  InitCommonControls();

  PROPSHEETPAGEA pages[2] = {};
  CPROPERTYPAGE* objects[2] = {Identity(), transportPage};
  for (int i = 0; i < 2; ++i) {
    pages[i].dwSize = sizeof(PROPSHEETPAGEA);
    pages[i].dwFlags = PSP_DEFAULT;
    pages[i].hInstance = instance;
    pages[i].pszTemplate = MAKEINTRESOURCEA(templates[i].id);
    pages[i].pfnDlgProc = &PageDialogProc;
    pages[i].lParam = reinterpret_cast<LPARAM>(objects[i]);
  }
  PROPSHEETHEADERA header = {};
  header.dwSize = sizeof(PROPSHEETHEADERA);
  header.dwFlags = PSH_PROPSHEETPAGE;
  header.hwndParent = nullptr;
  header.hInstance = instance;
  header.pszCaption = record->m_dialogTitle.Text();
  header.nPages = 2;
  header.nStartPage = 0;
  header.ppsp = pages;
  PropertySheetA(&header);
  return Identity()->m_applied || transportPage->m_applied;
}

void WriteIdentitySettings(CCONFIG* config) {
  IdentityPage* page = Identity();
  config->PutString("YourName", page->m_yourName.Text());
  config->PutString("YourEmailAddress", page->m_yourEmail.Text());
  config->PutString("IdentityToken", page->m_identityToken.Text());
  config->PutBool("KeepFiles", page->m_keepFiles);
}

bool CheckSettingLine(const char* key, const CTEXT& value, CTEXT* failure) {
  const char* text = value.Text();
  if (!text || !std::strpbrk(text, "\r\n")) return true;
  failure->Join2(key, " holds a line break");
  return false;
}

bool SetFailure(CTEXT* failure, const char* what, const char* path, DWORD error) {
  failure->Assign(what);
  if (path && *path) failure->Append2(" ", path);
  if (error != ERROR_SUCCESS) {
    CTEXT text;
    if (!CWIN32ERROR::GetSystemText(error, &text) || text.IsEmpty()) {
      CTEXTBUF16 number;
      text.Join2("system error ", number.SetNumber(error, 1, 10));
    }
    // The system's texts end with line ends and blanks.
    DWORD length = text.Length();
    while (length > 0 && (text.Buffer()[length - 1] == ' ' || text.Buffer()[length - 1] == '\r' ||
                          text.Buffer()[length - 1] == '\n'))
      text.Buffer()[--length] = '\0';
    failure->Append2(": ", text.Text());
  }
  return false;
}

bool CheckIdentityLines(const DELIVERYRECORD* record, CTEXT* failure) {
  return CheckSettingLine("YourName", record->m_yourName, failure) &&
         CheckSettingLine("YourEmailAddress", record->m_yourEmail, failure) &&
         CheckSettingLine("IdentityToken", record->m_identityToken, failure);
}

}  // namespace mvn::delivery
