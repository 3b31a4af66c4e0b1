; RQ70 demo firmware: blinks an LED on RB0 at about 2 Hz and walks a pattern over RB1..RB7.
; Small enough to read in a dump, but it touches everything an update file carries: the reset
; and interrupt vectors, code past the first page, lookup tables, configuration words and EEPROM.
;
; tests/tools/tst_krv.cpp assembles this file and relies on a few fixed points:
;   word 0x0000  goto start (start is word 0x0005)   -> 0x2805
;   word 0x0004  retfie                               -> 0x0009
;   word 0x0005  movlw 0x55                           -> 0x3055
;   EEPROM 0     0x12 (layout version of the EEPROM block)

        processor 16f1939
        #include <p16f1939.inc>
        errorlevel -302                 ; banksel is used before every banked access

        __CONFIG _CONFIG1, _FOSC_INTOSC & _WDTE_OFF & _PWRTE_ON & _MCLRE_ON & _CP_OFF & _CPD_OFF & _BOREN_ON & _CLKOUTEN_OFF & _IESO_OFF & _FCMEN_OFF
        __CONFIG _CONFIG2, _WRT_OFF & _VCAPEN_OFF & _PLLEN_OFF & _STVREN_ON & _BORV_LO & _LVP_OFF

; Common RAM, reachable from every bank without banksel.
        cblock 0x70
        delayOuter
        delayInner
        delayCount
        patternIndex
        endc

        org     0x0000
        goto    start

        org     0x0004
        retfie                          ; the core saves W, STATUS and BSR on its own

start:
        movlw   0x55                    ; alternating pattern on power-up, so a fresh board is recognisable
        banksel LATB
        movwf   LATB
        banksel ANSELB
        clrf    ANSELB                  ; all of port B digital
        banksel TRISB
        clrf    TRISB
        banksel OSCCON
        movlw   b'01101000'             ; internal oscillator, 4 MHz
        movwf   OSCCON
        clrf    patternIndex

mainLoop:
        movf    patternIndex, w
        pagesel patternTable
        call    patternTable
        pagesel mainLoop
        banksel LATB
        xorwf   LATB, w                 ; keep RB0 as it is, take RB1..RB7 from the table
        andlw   b'11111110'
        xorwf   LATB, f
        movlw   b'00000001'
        xorwf   LATB, f                 ; toggle the LED
        call    delay250ms
        incf    patternIndex, f
        movlw   0x07
        andwf   patternIndex, f         ; eight table entries
        goto    mainLoop

; About 250 ms at 4 MHz (1 us per instruction): 250 x (4 x 250 cycles).
delay250ms:
        movlw   d'250'
        movwf   delayOuter
delayOuterLoop:
        movlw   d'4'
        movwf   delayCount
delayMiddleLoop:
        movlw   d'82'
        movwf   delayInner
delayInnerLoop:
        decfsz  delayInner, f
        goto    delayInnerLoop
        decfsz  delayCount, f
        goto    delayMiddleLoop
        decfsz  delayOuter, f
        goto    delayOuterLoop
        return

; The walking pattern lives in the second code page so that a call across pages is exercised.
        org     0x0800
patternTable:
        brw
        retlw   b'00000010'
        retlw   b'00000100'
        retlw   b'00001000'
        retlw   b'00010000'
        retlw   b'00100000'
        retlw   b'01000000'
        retlw   b'10000000'
        retlw   b'01010100'

; Firmware identification at the top of program memory: product code, version 1.0, build 7.
        org     0x3FFC
        dw      0x0070, 0x0100, 0x0007, 0x1234

; EEPROM contents: the block's layout version, then a NUL-terminated version string.
        org     0xF000
        de      0x12
        de      "RQ70 demo 1.0", 0

        end
