// The local service's health answer.
#include "fuzz/FuzzInput.h"
#include "service/HealthAnswer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    (void)taviro::isReadyHealthAnswer(taviro::platform::HttpResponse{200, taviro::fuzz::text(data, size)}, 3);
    return 0;
}
