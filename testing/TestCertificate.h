#pragma once

#include <random>
#include <stdexcept>
#include <string>

#include "testing/ChildProcess.h"

namespace zorva {

// A fresh self-signed certificate that is its own authority, so that trusting its one file
// (ZORVA_CA_FILE, a client's CA option) is enough. Each has a subject of its own: certificates of
// two servers never collide in one trust store.
class TestCertificate {
 public:
  // Writes cert.pem and key.pem (a P-256 key, unencrypted) into `folder` for the subject
  // alternative names `names` (openssl's form: "IP:127.0.0.1,DNS:localhost"); throws on failure.
  explicit TestCertificate(const std::string& folder,
                           const std::string& names = "IP:127.0.0.1,DNS:localhost")
      : _cert(folder + "/cert.pem"), _key(folder + "/key.pem") {
    const std::string subject = "/CN=zorva test " + std::to_string(std::random_device()());
    const testing::CommandResult made = testing::runCommand(
        {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
         "-nodes", "-days", "2", "-keyout", _key, "-out", _cert, "-subj", subject, "-addext",
         "subjectAltName=" + names});
    if (made.status != 0) throw std::runtime_error("no certificate for " + names + ": " + made.err);
  }

  const std::string& cert() const { return _cert; }
  const std::string& key() const { return _key; }

 private:
  std::string _cert;
  std::string _key;
};

}  // namespace zorva
