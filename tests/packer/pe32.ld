/* The whole link of a 32-bit Windows image for the packer's tests: the toolchain here carries
   no 32-bit linker script, and elevation_setup.cpp needs only code and a resource section. */
OUTPUT_FORMAT(pei-i386)
SECTIONS
{
  .text __image_base__ + __section_alignment__ : { *(.text) *(.text$*) *(.text.*) }
  .rdata BLOCK(__section_alignment__) : { *(.rdata) *(.rdata$*) }
  .rsrc BLOCK(__section_alignment__) : { *(.rsrc) *(.rsrc$*) }
  /DISCARD/ : { *(.debug*) *(.comment) *(.drectve) *(.eh_frame) }
}
