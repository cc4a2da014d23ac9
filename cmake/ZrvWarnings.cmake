# Project-wide compiler settings: strict warnings everywhere, sanitizers on request.
add_compile_options(-Wall -Wextra -Werror)

option(ZRV_SANITIZE "Build everything with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
if(ZRV_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()
