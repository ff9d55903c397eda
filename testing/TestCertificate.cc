#include "testing/TestCertificate.h"

#include <cstdlib>
#include <random>
#include <stdexcept>

namespace zorva {

TestCertificate::TestCertificate(const std::string& folder, const std::string& names)
    : _cert(folder + "/cert.pem"), _key(folder + "/key.pem") {
  const std::string command =
      "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2"
      " -keyout '" +
      _key + "' -out '" + _cert + "' -subj '/CN=zorva test " +
      std::to_string(std::random_device()()) + "' -addext 'subjectAltName=" + names +
      "' >/dev/null 2>&1";
  if (std::system(command.c_str()) != 0) {
    throw std::runtime_error("openssl could not make a certificate for " + names);
  }
}

}  // namespace zorva
