#pragma once

#include <string>

namespace zorva {

// A fresh self-signed certificate that is its own authority, so that trusting its one file
// (ZORVA_CA_FILE, a client's CA option) is enough. Each has a subject of its own: certificates of
// two servers never collide in one trust store.
class TestCertificate {
 public:
  // Writes cert.pem and key.pem (a P-256 key, unencrypted) into `folder` for the subject
  // alternative names `names` (openssl's form: "IP:127.0.0.1,DNS:localhost"); throws on failure.
  explicit TestCertificate(const std::string& folder,
                           const std::string& names = "IP:127.0.0.1,DNS:localhost");

  const std::string& cert() const { return _cert; }
  const std::string& key() const { return _key; }

 private:
  std::string _cert;
  std::string _key;
};

}  // namespace zorva
