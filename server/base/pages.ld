/* The page groups of base/pages.h, each on whole pages of its own, between
   the small variables (.bss) and the large arrays (.lbss).  The compiler
   addresses a variable of a named section as near data, which these are:
   they follow .bss, as the large arrays do. */
SECTIONS
{
  .lbss.zorvad.login (NOLOAD) : ALIGN(4096) { *(.lbss.zorvad.login) *(.lbss.zorvad.login.last) . = ALIGN(4096); }
  .lbss.zorvad.session (NOLOAD) : ALIGN(4096) { *(.lbss.zorvad.session) . = ALIGN(4096); }
}
INSERT BEFORE .lbss;
