# The zip's text files as a Windows user opens them: CRLF line ends, as
# Notepad before Windows 10 1809 (common on old lab PCs) shows a file with
# LF alone as one line; and in the pages, each link to a page the zip
# carries under the name it has there, and each link to a page it does not
# carry left as its text (which names the page in the sources), so that
# no link in the zip leads nowhere.
#   lpt_zip_text(SOURCE SHIPPED_NAME) writes ${zip_stage}/SHIPPED_NAME;
#   zip_pages holds SOURCE_NAME=SHIPPED_NAME for every page the zip has.
function(lpt_zip_text source shipped)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${source})
  file(READ ${source} text)
  if(shipped MATCHES "\\.md$")
    # Only the targets, as a list item with a bracket would not split.
    string(REGEX MATCHALL "\\([A-Za-z0-9_.-]+\\.md[#)]" links "${text}")
    list(REMOVE_DUPLICATES links)
    foreach(link IN LISTS links)
      string(REGEX REPLACE "^\\((.*)[#)]$" "\\1" target "${link}")
      string(REPLACE "." "\\." pattern "${target}")
      set(name "")
      foreach(page IN LISTS zip_pages)
        if(page MATCHES "^${pattern}=(.*)$")
          set(name ${CMAKE_MATCH_1})
        endif()
      endforeach()
      if(name)
        string(REPLACE "[${target}](${target}" "[${name}](${name}" text "${text}")
        string(REGEX REPLACE "\\]\\(${pattern}([#)])" "](${name}\\1" text "${text}")
      else()
        string(REGEX REPLACE "\\[([^]\n]*)\\]\\(${pattern}(#[^)]*)?\\)" "\\1" text "${text}")
      endif()
    endforeach()
  endif()
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${zip_stage}/${shipped} "${text}")
endfunction()
