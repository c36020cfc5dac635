# The rules' sources, for the cross build and the native one.
set(RULES_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/manifestRules.cpp
    ${CMAKE_CURRENT_LIST_DIR}/manifestReader.cpp
    ${CMAKE_CURRENT_LIST_DIR}/manifestSignature.cpp
    ${CMAKE_CURRENT_LIST_DIR}/baseURL.cpp
    ${CMAKE_CURRENT_LIST_DIR}/linkEscape.cpp
    ${CMAKE_CURRENT_LIST_DIR}/redact.cpp
    ${CMAKE_CURRENT_LIST_DIR}/transferLimits.cpp
    ${CMAKE_CURRENT_LIST_DIR}/javaVersion.cpp
    ${CMAKE_CURRENT_LIST_DIR}/proxyRules.cpp
)
