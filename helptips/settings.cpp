#include "helptips/settings.h"

#include <algorithm>

#include "framework/core/record.h"
#include "framework/core/strings.h"
#include "helptips/markup.h"
#include "platform/kernel/utf.h"

namespace mvn::helptips {
namespace fw = mvn::framework;

namespace {

int Compare(std::string_view a, std::string_view b) {
  std::string ua = fw::Upper(a), ub = fw::Upper(b);
  return ua < ub ? -1 : (ua == ub ? 0 : 1);
}

// Length of the character at text[i]: the separator (2 bytes for U+00AB, 1
// for a lone 0xAB) is reported through sep.
size_t CharAt(std::string_view text, size_t i, bool* sep) {
  unsigned char c = static_cast<unsigned char>(text[i]);
  *sep = false;
  if (c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0xAB) {
    *sep = true;
    return 2;
  }
  if (c == 0xAB) {
    *sep = true;
    return 1;
  }
  return mvn::kernel::DecodeUtf8At(text, i).length;
}

}  // namespace

bool IsStorableSetting(std::string_view value) {
  if (value.find_first_of("[];") != std::string_view::npos) return false;
  for (size_t i = 0; i < value.size();) {
    bool sep = false;
    i += CharAt(value, i, &sep);
    if (sep) return false;
  }
  return true;
}

bool SettingsList::Store(SettingEntry e) {
  if (!IsStorableSetting(e.control) || !IsStorableSetting(e.property) || !IsStorableSetting(e.value)) return false;
  e.cut = e.cut || fw::Clip(e.value).size() > 60;
  e.control = fw::CutUtf8(fw::Clip(e.control), 20);
  e.property = fw::CutUtf8(fw::Clip(e.property), 20);
  e.value = fw::Clip(fw::CutUtf8(fw::Clip(e.value), 60));
  e.text = fw::CutUtf8(e.text, 80);
  if (fw::Clip(e.value).empty()) return true;
  auto it = std::find_if(m_entries.begin(), m_entries.end(), [&](const SettingEntry& x) {
    int c = Compare(x.control, e.control);
    return c > 0 || (c == 0 && Compare(x.property, e.property) >= 0);
  });
  if (it != m_entries.end() && Compare(it->control, e.control) == 0 && Compare(it->property, e.property) == 0)
    *it = std::move(e);
  else
    m_entries.insert(it, std::move(e));
  return true;
}

const SettingEntry* SettingsList::Find(std::string_view control, std::string_view property) const {
  for (const SettingEntry& e : m_entries)
    if (Compare(e.control, fw::Clip(control)) == 0 && Compare(e.property, property) == 0) return &e;
  return nullptr;
}

std::string SettingsList::Value(std::string_view control, std::string_view property) const {
  const SettingEntry* e = Find(control, property);
  return e ? e->value : std::string();
}

void SettingsList::Remove(std::string_view control, std::string_view property) {
  std::erase_if(m_entries, [&](const SettingEntry& e) {
    return Compare(e.control, fw::Clip(control)) == 0 && Compare(e.property, property) == 0;
  });
}

void ReadSettings(std::string_view text, SettingsList* list) {
  list->Clear();
  std::string t = fw::Clip(text);
  enum { None, Control, Property, Value } state = None;
  std::string control, property, value;
  auto store = [&] {
    std::string p = fw::Upper(fw::Clip(property));
    if (fw::Clip(value).empty() || p == "LINKPROC" || p == "LINKCTL") return;
    SettingEntry e{control, property, value, std::string(), fw::Clip(value).size() > 60};
    list->Store(std::move(e));
  };
  for (size_t i = 0; i < t.size();) {
    bool sep = false;
    size_t n = CharAt(t, i, &sep);
    std::string_view ch(t.data() + i, n);
    i += n;
    if (ch == "[") {
      store();
      control.clear(), property.clear(), value.clear();
      state = Control;
    } else if (ch == "]" || sep) {
      store();
      property.clear(), value.clear();
      state = Property;
    } else if (ch == ";") {
      state = Value;
    } else if (state == Control) {
      control += ch;
    } else if (state == Property) {
      property += ch;
    } else if (state == Value) {
      value += ch;
    }
  }
  store();
}

std::string WriteSettings(const SettingsList& list) {
  std::string out;
  const SettingEntry* before = nullptr;
  for (const SettingEntry& e : list.Entries()) {
    if (!before || Compare(before->control, e.control) != 0) out += "[" + e.control + "]";
    out += e.property + ";" + e.value + kSettingSeparator;
    before = &e;
  }
  return out;
}

void RematchSettings(SettingsList* list, const std::vector<MarkupElement>& elements) {
  auto same = [](std::string_view a, std::string_view b) {
    return fw::Upper(fw::CutUtf8(a, 80)) == fw::Upper(fw::CutUtf8(b, 80));
  };
  std::vector<SettingEntry> kept;
  for (SettingEntry e : list->Entries()) {
    const MarkupElement* byName = nullptr;
    for (const MarkupElement& m : elements)
      if (Compare(fw::Clip(m.name), e.control) == 0) byName = &m;
    if (byName && same(byName->text, e.text)) {
      kept.push_back(e);
      continue;
    }
    const MarkupElement* byText = nullptr;
    for (const MarkupElement& m : elements)
      if (same(m.text, e.text)) {
        byText = &m;
        break;
      }
    if (byText) {
      e.control = fw::Clip(byText->name);
      kept.push_back(e);
    } else if (byName) {
      kept.push_back(e);
    }
  }
  list->Clear();
  for (SettingEntry& e : kept) list->Store(e);
}

}  // namespace mvn::helptips
