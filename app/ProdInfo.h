// The product's name, version, web addresses and copyright line: the application title and the
// About box take their texts from here.
#pragma once

#include <QString>

struct TProductInfo {
  QString ProductName;
  QString Version;
  QString SiteAddress;
  QString ContactsAddress;  // empty hides the About box's "Contacts:" line
  QString Copyright;
  bool GrayCopyright = false;
};

// The program's one product record: filled by InitializeProductInfo before any window exists,
// read-only afterwards, emptied again by FinalizeProductInfo at exit.
extern TProductInfo ProductInfo;

void InitializeProductInfo();
void FinalizeProductInfo();
