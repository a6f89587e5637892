/* The archive's section .payload after every other section of the image, the relocations included,
   so that packing can replace it and change its size without moving anything the program points to.
   Added to the linker's own script (INSERT), not replacing it. */
SECTIONS
{
  .payload BLOCK(__section_alignment__) :
  {
    KEEP (*(.payload))
  }
}
INSERT AFTER .reloc;
