// The registration property list (resource "PIPL", id 16000), carried as an ELF
// note so that a host can list the effect without running any of its code:
// note name "PIPL", note type 16000, descriptor = the list's bytes.
//
// Numbers are little-endian. Four-character codes are 32-bit numbers whose most
// significant byte is the first character, so their bytes read backwards in the
// file: `fourcc Q,X,R,S` emits "SRXQ".

        .macro fourcc c1, c2, c3, c4
        .ascii "\c4\c3\c2\c1"
        .endm

        // A property header: vendor QXRS, key, id 0, value length. The value
        // follows; property_end checks its size and pads it to 4 bytes counted
        // from the value's first byte.
        .macro property k1, k2, k3, k4, length
        fourcc Q,X,R,S
        fourcc \k1,\k2,\k3,\k4
        .long 0
        .long \length
        .set .Lvalue_start, .
        .set .Lvalue_length, \length
        .endm

        .macro property_end
        .ifne (. - .Lvalue_start) - .Lvalue_length
        .error "property value size differs from its stated length"
        .endif
        .fill (4 - ((. - .Lvalue_start) & 3)) & 3, 1, 0
        .endm

        // A text preceded by its length byte.
        .macro pstring text
        .byte 2f - 1f
1:      .ascii "\text"
2:
        .endm

        .section .note.PIPL, "a", @note
        .balign 4
        .long 5                         // note name size, "PIPL" and its NUL
        .long .Lpipl_end - .Lpipl_start // descriptor size
        .long 16000                     // note type: the resource id
        .asciz "PIPL"
        .balign 4

.Lpipl_start:
        .short 1                        // list version
        .long 0
        .long 12                        // number of properties

        property k,i,n,d, 4             // kind: a video effect
        fourcc e,F,K,T
        property_end

        property n,a,m,e, 48            // display name key
        pstring "$$$/Montavo/VXEffect/Name/LensFlare=Lens Flare"
        .byte 0                         // pads the text to 48
        property_end

        property c,a,t,g, 48            // category key
        pstring "$$$/Montavo/VXEffect/Category/Generate=Generate"
        property_end

        property 8,6,6,4, 12            // entry point named in the list
        .asciz "EffectMain"
        .byte 0                         // pads the text to 12
        property_end

        property e,P,V,R, 4             // plug-in interface version
        .long 2
        property_end

        property e,S,V,R, 4             // host interface version 13.28
        .short 13
        .short 28
        property_end

        property e,V,E,R, 4             // module version, as global setup reports it
        .long 0x80600
        property_end

        property e,I,N,F, 2             // info flags: the one value not a multiple of 4
        .short 0
        property_end

        property e,G,L,O, 4             // global flags, as global setup reports them
        .long 0x40
        property_end

        property e,G,L,2, 4             // second global flags word
        .long 0x40
        property_end

        property e,M,N,A, 16            // match name
        pstring "NRVN Lens Flare"
        property_end

        property v,x,F,L, 4
        .long 0
        property_end
.Lpipl_end:

        .ifne (.Lpipl_end - .Lpipl_start) - 358
        .error "the property list must be 358 bytes"
        .endif
        .balign 4                       // the note's descriptor padding

        .section .note.GNU-stack, "", @progbits
