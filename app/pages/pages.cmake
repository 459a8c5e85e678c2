# The two pages and what they make of the service's records. Included by app/CMakeLists.txt
# after the pages folder: the pages join the library of the title bar they live in.
set(KORVO_PAGES_DIR ${CMAKE_CURRENT_LIST_DIR})

# The record rules on their own: Qt Core only, tested without widgets.
korvo_add_library(korvo_app_page_parsing SOURCES ${KORVO_PAGES_DIR}/page_parsing.cpp PUBLIC Qt6::Core)

target_sources(korvo_app_pages
  PRIVATE ${KORVO_PAGES_DIR}/page_support.cpp
          ${KORVO_PAGES_DIR}/main_page.cpp ${KORVO_PAGES_DIR}/main_page.ui
          ${KORVO_PAGES_DIR}/usb_type_c_page.cpp ${KORVO_PAGES_DIR}/usb_type_c_page.ui)
target_link_libraries(korvo_app_pages PUBLIC korvo_app_data korvo_app_page_parsing)

if(KORVO_BUILD_TESTS)
  korvo_add_test(app_page_parsing_tests SOURCES ${KORVO_PAGES_DIR}/page_parsing_test.cpp
                 LIBS korvo_app_page_parsing)
  # The pages offscreen; the last of them against the real service.
  korvo_add_app_widget_test(app_page_views_tests
    SOURCES ${KORVO_PAGES_DIR}/main_page_test.cpp ${KORVO_PAGES_DIR}/usb_type_c_page_test.cpp
            ${KORVO_PAGES_DIR}/pages_service_test.cpp
    LIBS korvo_app_pages korvo_app_service_testing)
endif()
