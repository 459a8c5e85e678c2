# The two pages and what they make of the service's records. Included by app/CMakeLists.txt
# after the pages folder, so the pages join the title bar's library.

# The record rules on their own: Qt Core only, tested without widgets.
korvo_add_library(korvo_app_page_parsing SOURCES ${CMAKE_CURRENT_LIST_DIR}/page_parsing.cpp PUBLIC Qt6::Core)

if(KORVO_BUILD_TESTS)
  korvo_add_test(app_page_parsing_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/page_parsing_test.cpp
                 LIBS korvo_app_page_parsing)
endif()
