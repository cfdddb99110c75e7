#include "ProdInfo.h"

TProductInfo ProductInfo;

namespace {

// The product has no web site yet; a reserved example domain stands in for it.
const QString kSiteAddress = QStringLiteral("https://tarn.example.org");

}  // namespace

void InitializeProductInfo() {
  ProductInfo.ProductName = QStringLiteral("Tarn RAW to DPX Converter");
  ProductInfo.Version = QStringLiteral("1.00");
  ProductInfo.SiteAddress = kSiteAddress;
  ProductInfo.ContactsAddress = kSiteAddress + QStringLiteral("/contacts/");
  ProductInfo.Copyright =
      QStringLiteral("Copyright \u00A9 2026 The Tarn RAW to DPX Converter authors");
  ProductInfo.GrayCopyright = false;
}

void FinalizeProductInfo() {
  ProductInfo = TProductInfo{};
}
