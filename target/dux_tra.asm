; DUX-K transfer program.
;
; Downloaded by the service tool into the sensor's RAM while the sensor is in
; boot mode, loaded at offset 0x100 of a segment and started at its first byte
; with CS pointing at that segment.  It speaks the flash telegram protocol over
; the sensor's serial channel and erases, programs, reads and sums the flash
; memory.  The end command restarts the sensor through the reset vector.
;
; Register conventions: 32-bit values travel in DX:AX (DX high).  Every
; routine preserves the registers it does not return a result in, unless its
; header says otherwise.  DS always equals CS; ES addresses the memory an
; operation works on and is set back to CS when the operation is done.
;
; The build appends a filler behind the last byte of this file so that the
; image has the size and download checksum the service tool expects.

        bits 16
        cpu 186
        org 0x100

%define ASSERT(cond) times -!(cond) db 0

; ---------------------------------------------------------------------------
; Hardware

SER_STATUS      equ 0xFF66          ; serial channel status (16-bit port)
SER_RX          equ 0xFF68          ; receive buffer
SER_TX          equ 0xFF6A          ; transmit buffer
SER_TX_READY    equ 0x08
SER_RX_READY    equ 0x40

SERVICE_PORT    equ 0xFF28          ; takes the service sequence 0xAA, 0x55
CONTROL_PORT    equ 0x82            ; board control port; bit 1 is pulsed
CONTROL_PULSE   equ 0x02

; Delay-loop iteration counts.
DELAY_SETTLE    equ 4
DELAY_PROGRAM   equ 7
DELAY_ERASE     equ 6312

; Family A pulse limits.
FA_PROGRAM_PULSES       equ 25      ; per location
FA_ERASE_PULSE_BUDGET   equ 1000    ; for the whole range

; Family B geometry: one sector holds 16,384 locations.
FB_SECTOR_SHIFT equ 14
FB_SECTOR_LOCATIONS equ 0x4000
FB_SERVICE_EVERY equ 256            ; locations programmed between service sequences

; Flash type codes.
TYPE_A_FIRST    equ 0x11
TYPE_A_LAST     equ 0x14
TYPE_B_FIRST    equ 0x15
TYPE_B_LAST     equ 0x16

FAMILY_NONE     equ 0
FAMILY_A        equ 1
FAMILY_B        equ 2

; Telegram codes.
REPLY_ERROR     equ 0x20
ERR_CHECKSUM    equ 0xF4

DATA_BUFFER_SIZE equ 256
PARAM_DATA      equ 0xFF            ; parameter descriptor: the program data bytes

STACK_TOP       equ 0x213

; ---------------------------------------------------------------------------
; Entry

entry:
        mov ax, cs
        mov ds, ax
        mov es, ax
        mov ss, ax
        mov sp, STACK_TOP
        call main
        jmp 0xFFFF:0x0000           ; main never returns; restart if it does

stack_area:
        times 256 db 0
stack_end:
        ASSERT(stack_end - $$ + 0x100 == STACK_TOP)

; ---------------------------------------------------------------------------
; Data

widthTable:     times 4 db 0        ; width index -> bytes per location
width:          dw 0                ; bytes per location of the current operation
widthShift:     db 0, 0             ; log2 of width
bufPtr:         dw 0
runSum:         dd 0                ; running checksum (16 bits used)
tgLength:       db 0, 0
tgCommand:      db 0, 0
rxValue:        dd 0
txValue:        dd 0

; Operation registers, kept between telegrams.
widthIndex:     dd 0
flashType:      dd 0
baseAddress:    dd 0                ; command base, set by identify only
startAddress:   dd 0
progAddress:    dd 0
count:          dd 0
manufCode:      dd 0
deviceCode:     dd 0
resultFlag:     db 0, 0             ; 0 success, 1 failure
stopAddress:    dd 0

; Working storage of the operations.
curAddr:        dd 0
walkAddr:       dd 0
walkLeft:       dd 0
eraseLocations: dd 0
lastSector:     dd 0
memSum:         dd 0
pollExpect:     dd 0
pollRead:       dd 0
pollTimeLimit:  db 0, 0

dataBuffer:     times DATA_BUFFER_SIZE db 0

; The code starts on a 4 KiB boundary of its own (linear 0x5000 when loaded at
; 0400:0100), apart from the stack and the variables it writes: an emulated
; processor that translates code then need not throw its translations away
; on every data write.
CODE_OFFSET     equ 0x1000
        ASSERT($ - $$ + 0x100 <= CODE_OFFSET)
        times CODE_OFFSET - ($ - $$ + 0x100) db 0

; ---------------------------------------------------------------------------
; Main loop: one telegram after the other.

main:
        call InitTables
        call ClearReceiver
.next_telegram:
        mov cx, 1
        call Receive                ; the length byte is read and not used
        mov [tgLength], al
        call ResetRunningSum
        mov cx, 1
        call Receive
        mov [tgCommand], al
        call FindCommand
        jc .unknown
        call ReceiveParameters
        call CheckTelegramSum
        jc .next_telegram           ; error reply already sent
        call [bx + 3]
        jmp .next_telegram
.unknown:
        mov al, [tgCommand]         ; give the byte back as it came
        xor ah, ah
        xor dx, dx
        mov cx, 1
        call SendRaw
        jmp .next_telegram

; InitTables: fills the width table and points the data-buffer pointer at the buffer.
InitTables:
        mov byte [widthTable + 0], 0
        mov byte [widthTable + 1], 1
        mov byte [widthTable + 2], 2
        mov byte [widthTable + 3], 4
        mov word [bufPtr], dataBuffer
        ret

; ClearReceiver: drops whatever the boot loader left in the receiver.
ClearReceiver:
        push ax
        push dx
        mov dx, SER_STATUS
        in ax, dx
        in ax, dx
        mov dx, SER_RX
        in ax, dx
        in ax, dx
        pop dx
        pop ax
        ret

; FindCommand: looks [tgCommand] up in the command table.
; Out: BX = table entry and CF clear, or CF set when the code is unknown.
FindCommand:
        push ax
        push cx
        mov al, [tgCommand]
        mov bx, commandTable
        mov cx, COMMAND_COUNT
.look:
        cmp al, [bx]
        je .found
        add bx, COMMAND_ENTRY_SIZE
        loop .look
        stc
        jmp .done
.found:
        clc
.done:
        pop cx
        pop ax
        ret

; ReceiveParameters: receives the parameters listed by the descriptor of the
; command table entry at BX into their operation registers.
ReceiveParameters:
        push ax
        push cx
        push dx
        push si
        push di
        mov si, [bx + 1]
.param:
        mov cl, [si]
        xor ch, ch
        jcxz .done
        cmp cl, PARAM_DATA
        je .data
        call Receive
        mov di, [si + 1]
        mov [di], ax
        mov [di + 2], dx
        add si, 3
        jmp .param
.data:
        call ReceiveDataBytes
        add si, 3
        jmp .param
.done:
        pop di
        pop si
        pop dx
        pop cx
        pop ax
        ret

; ReceiveDataBytes: receives the [count] data bytes of a program telegram into
; the data buffer.  The whole telegram is always read and summed; bytes that
; would not fit into the buffer are dropped (the block is refused later).
ReceiveDataBytes:
        push ax
        push bx
        push cx
        push di
        mov cx, [count]
        mov di, [bufPtr]
        xor bx, bx
.byte:
        jcxz .done
        call GetByte
        call AddToRunningSum
        cmp bx, DATA_BUFFER_SIZE
        jae .drop
        mov [bx + di], al
        inc bx
.drop:
        dec cx
        jmp .byte
.done:
        pop di
        pop cx
        pop bx
        pop ax
        ret

; CheckTelegramSum: receives the telegram's checksum and compares it with the
; running sum of command and parameters.  On a mismatch the checksum error
; reply is sent and CF is set.
CheckTelegramSum:
        push ax
        push bx
        push cx
        push dx
        mov bx, [runSum]
        mov cx, 2
        call Receive
        cmp ax, bx
        je .match
        mov al, ERR_CHECKSUM
        call SendErrorReply
        stc
        jmp .done
.match:
        clc
.done:
        pop dx
        pop cx
        pop bx
        pop ax
        ret

; ---------------------------------------------------------------------------
; Byte primitives

; GetByte: waits for a received byte (no time-out).  Out: AL; AH is destroyed.
GetByte:
        push dx
        mov dx, SER_STATUS
.wait:
        in ax, dx
        test al, SER_RX_READY
        jz .wait
        mov dx, SER_RX
        in ax, dx
        pop dx
        ret

; PutByte: waits until the transmitter is free and sends AL.
PutByte:
        push dx
        push ax
        mov dx, SER_STATUS
.wait:
        in ax, dx
        test al, SER_TX_READY
        jz .wait
        pop ax
        mov dx, SER_TX
        out dx, al
        pop dx
        ret

; ResetRunningSum: starts a new running checksum.
ResetRunningSum:
        mov word [runSum], 0
        mov word [runSum + 2], 0
        ret

; AddToRunningSum: adds the byte AL to the 16-bit running checksum.
AddToRunningSum:
        push ax
        xor ah, ah
        add [runSum], ax
        pop ax
        ret

; Receive: reads CX bytes (1 to 4), least significant first, each added to the
; running checksum.  Out: DX:AX.
Receive:
        push cx
        push di
        mov word [rxValue], 0
        mov word [rxValue + 2], 0
        mov di, rxValue
.byte:
        call GetByte
        mov [di], al
        inc di
        call AddToRunningSum
        loop .byte
        mov ax, [rxValue]
        mov dx, [rxValue + 2]
        pop di
        pop cx
        ret

; Send: sends CX bytes (1 to 4) of DX:AX, least significant first.  Each byte
; is added to the running checksum, and the host's echo of it is awaited and
; dropped before the next byte goes out.
Send:
        push ax
        push cx
        push si
        mov [txValue], ax
        mov [txValue + 2], dx
        mov si, txValue
.byte:
        mov al, [si]
        inc si
        call AddToRunningSum
        call PutByte
        call GetByte
        loop .byte
        pop si
        pop cx
        pop ax
        ret

; SendRaw: sends CX bytes (1 to 4) of DX:AX, least significant first, outside
; any telegram: no checksum, no echo.
SendRaw:
        push ax
        push cx
        push si
        mov [txValue], ax
        mov [txValue + 2], dx
        mov si, txValue
.byte:
        mov al, [si]
        inc si
        call PutByte
        loop .byte
        pop si
        pop cx
        pop ax
        ret

; ---------------------------------------------------------------------------
; Reply telegrams

; BeginReply: sends the reply's length byte AL and starts the reply's checksum.
BeginReply:
        push ax
        push cx
        push dx
        xor ah, ah
        xor dx, dx
        mov cx, 1
        call Send
        call ResetRunningSum
        pop dx
        pop cx
        pop ax
        ret

; SendReplyByte: sends AL as part of the reply.
SendReplyByte:
        push ax
        push cx
        push dx
        xor ah, ah
        xor dx, dx
        mov cx, 1
        call Send
        pop dx
        pop cx
        pop ax
        ret

; SendReplyDword: sends the 32-bit value at [SI] as part of the reply.
SendReplyDword:
        push ax
        push cx
        push dx
        mov ax, [si]
        mov dx, [si + 2]
        mov cx, 4
        call Send
        pop dx
        pop cx
        pop ax
        ret

; EndReply: sends the reply's checksum, low byte first.
EndReply:
        push ax
        push cx
        push dx
        mov ax, [runSum]
        xor dx, dx
        mov cx, 2
        call Send
        pop dx
        pop cx
        pop ax
        ret

; SendErrorReply: the error reply with error byte AL.
SendErrorReply:
        push ax
        mov ah, al
        mov al, 2
        call BeginReply
        mov al, REPLY_ERROR
        call SendReplyByte
        mov al, ah
        call SendReplyByte
        call EndReply
        pop ax
        ret

; SendStatusReply: the reply of erase and program: AL = reply code, AH = status
; code on success (the failure code is one above it), then the stop address.
SendStatusReply:
        push ax
        push si
        push ax
        mov al, 6
        call BeginReply
        pop ax
        call SendReplyByte
        mov al, ah
        add al, [resultFlag]
        call SendReplyByte
        mov si, stopAddress
        call SendReplyDword
        call EndReply
        pop si
        pop ax
        ret

; ---------------------------------------------------------------------------
; Commands

; ProgPowerOn (0x22): the board switches its programming supply itself, so the
; command only confirms.
ProgPowerOn:
        push ax
        mov al, 2
        call BeginReply
        mov al, 0xA2
        call SendReplyByte
        mov al, 0x44
        call SendReplyByte
        call EndReply
        pop ax
        ret

; ProgPowerOff (0x23): confirms, like ProgPowerOn.
ProgPowerOff:
        push ax
        mov al, 2
        call BeginReply
        mov al, 0xA3
        call SendReplyByte
        mov al, 0x46
        call SendReplyByte
        call EndReply
        pop ax
        ret

; IdentifyFlash (0x21): stores the command base address (already received)
; and reads the manufacturer and device codes of the selected family.
IdentifyFlash:
        push ax
        push si
        xor ax, ax
        mov [manufCode], ax
        mov [manufCode + 2], ax
        mov [deviceCode], ax
        mov [deviceCode + 2], ax
        call SelectFamily
        cmp al, FAMILY_A
        jne .not_a
        call FamilyAIdentify
        jmp .reply
.not_a:
        cmp al, FAMILY_B
        jne .reply
        call FamilyBIdentify
.reply:
        mov al, 9
        call BeginReply
        mov al, 0xA1
        call SendReplyByte
        mov si, manufCode
        call SendReplyDword
        mov si, deviceCode
        call SendReplyDword
        call EndReply
        pop si
        pop ax
        ret

; ReadMemory (0x24): echoes its parameters and sends [count] bytes from
; [startAddress].
ReadMemory:
        push ax
        push bx
        push si
        mov al, [count]
        add al, 10
        call BeginReply
        mov al, 0xA4
        call SendReplyByte
        mov al, [widthIndex]
        call SendReplyByte
        mov si, startAddress
        call SendReplyDword
        mov si, count
        call SendReplyDword
        mov bx, SendReplyByte
        call ForEachMemoryByte
        call EndReply
        pop si
        pop bx
        pop ax
        ret

; ProgramBlock (0x25): programs the received data bytes at [progAddress].
ProgramBlock:
        push ax
        push dx
        cmp word [count], DATA_BUFFER_SIZE
        ja .refuse                  ; more data than the buffer holds
        call SelectFamily
        cmp al, FAMILY_A
        jne .not_a
        call FamilyAProgram
        jmp .reply
.not_a:
        cmp al, FAMILY_B
        jne .refuse
        call FamilyBProgram
        jmp .reply
.refuse:
        mov ax, [progAddress]
        mov dx, [progAddress + 2]
        call RecordFailure
.reply:
        mov al, 0xA5
        mov ah, 0x42
        call SendStatusReply
        pop dx
        pop ax
        ret

; ChecksumMemory (0x26): the 32-bit sum of [count] bytes from [startAddress].
ChecksumMemory:
        push ax
        push bx
        push si
        call SumMemory
        call ServiceSequence
        mov al, 5
        call BeginReply
        mov al, 0xA6
        call SendReplyByte
        mov si, memSum
        call SendReplyDword
        call EndReply
        pop si
        pop bx
        pop ax
        ret

; EraseFlash (0x27): erases [count] bytes from [startAddress].
EraseFlash:
        push ax
        push dx
        call SelectFamily
        cmp al, FAMILY_A
        jne .not_a
        call FamilyAErase
        jmp .reply
.not_a:
        cmp al, FAMILY_B
        jne .refuse
        call FamilyBErase
        jmp .reply
.refuse:
        mov ax, [startAddress]
        mov dx, [startAddress + 2]
        call RecordFailure
.reply:
        mov al, 0xA7
        mov ah, 0x40
        call SendStatusReply
        pop dx
        pop ax
        ret

; ProgramEnd (0x49): confirms, then restarts the sensor.
ProgramEnd:
        mov al, 1
        call BeginReply
        mov al, 0x48
        call SendReplyByte
        call EndReply
        call 0xFFFF:0x0000
        ret

; ---------------------------------------------------------------------------
; Helpers shared by the operations

; SelectFamily: the flash family of [flashType] for a valid width index, else
; FAMILY_NONE.  Sets [width] and [widthShift] for the width index.
; Out: AL = family.
SelectFamily:
        push bx
        mov bx, [widthIndex]
        cmp word [widthIndex + 2], 0
        jne .none
        cmp bx, 1
        jb .none
        cmp bx, 3
        ja .none
        mov al, [widthTable + bx]
        xor ah, ah
        mov [width], ax
        shr al, 1                   ; 1, 2, 4 bytes -> shift 0, 1, 2
        mov [widthShift], al
        cmp word [flashType + 2], 0
        jne .none
        mov ax, [flashType]
        cmp ax, TYPE_A_FIRST
        jb .none
        cmp ax, TYPE_A_LAST
        ja .not_a
        mov al, FAMILY_A
        jmp .done
.not_a:
        cmp ax, TYPE_B_FIRST
        jb .none
        cmp ax, TYPE_B_LAST
        ja .none
        mov al, FAMILY_B
        jmp .done
.none:
        mov al, FAMILY_NONE
.done:
        pop bx
        ret

; RecordFailure: an operation that was not carried out fails at its first
; address DX:AX.
RecordFailure:
        mov byte [resultFlag], 1
        mov [stopAddress], ax
        mov [stopAddress + 2], dx
        ret

; RecordResult: stores the result flag from CF (set = failure) and the stop
; address [curAddr].
RecordResult:
        push ax
        mov al, 0
        adc al, 0
        mov [resultFlag], al
        mov ax, [curAddr]
        mov [stopAddress], ax
        mov ax, [curAddr + 2]
        mov [stopAddress + 2], ax
        pop ax
        ret

; LinearToSegOff: turns the linear address DX:AX into ES:DI (segment A >> 4,
; offset A & 0xF).
LinearToSegOff:
        push ax
        push cx
        push dx
        mov di, ax
        and di, 0x000F
        mov cx, 4
.shift:
        shr dx, 1
        rcr ax, 1
        loop .shift
        mov es, ax
        pop dx
        pop cx
        pop ax
        ret

; StartAt: makes DX:AX the current location: [curAddr] and ES:DI.
StartAt:
        mov [curAddr], ax
        mov [curAddr + 2], dx
        call LinearToSegOff
        ret

; NextLocation: advances ES:DI and [curAddr] by the bus width.  When the
; offset wraps, the segment moves on by 64 KiB.
NextLocation:
        push ax
        mov ax, [width]
        add [curAddr], ax
        adc word [curAddr + 2], 0
        add di, ax
        jnc .same_segment
        mov ax, es
        add ax, 0x1000
        mov es, ax
.same_segment:
        pop ax
        ret

; RestoreDataSegment: points ES back at the program's own segment.
RestoreDataSegment:
        push ax
        mov ax, cs
        mov es, ax
        pop ax
        ret

; LocationCount: the number of locations in a byte count DX:AX for the bus
; width.  Out: DX:AX.
LocationCount:
        push cx
        mov cl, [widthShift]
        xor ch, ch
        jcxz .done
.shift:
        shr dx, 1
        rcr ax, 1
        loop .shift
.done:
        pop cx
        ret

; ReadLocation: reads the location at ES:DI in the bus width.  Out: DX:AX
; (unused lanes 0).
ReadLocation:
        cmp word [width], 2
        jb .byte
        je .word
        mov ax, [es:di]
        mov dx, [es:di + 2]
        ret
.word:
        mov ax, [es:di]
        xor dx, dx
        ret
.byte:
        mov al, [es:di]
        xor ah, ah
        xor dx, dx
        ret

; WriteLocation: writes DX:AX to the location at ES:DI in the bus width.
WriteLocation:
        cmp word [width], 2
        jb .byte
        je .word
        mov [es:di], ax
        mov [es:di + 2], dx
        ret
.word:
        mov [es:di], ax
        ret
.byte:
        mov [es:di], al
        ret

; ReplicateByte: AL copied into every byte lane of the bus width.  Out: DX:AX.
ReplicateByte:
        xor ah, ah
        xor dx, dx
        cmp word [width], 2
        jb .done
        mov ah, al
        je .done
        mov dx, ax
.done:
        ret

; WriteCommandHere: writes the command byte AL, in every lane, to ES:DI.
WriteCommandHere:
        push ax
        push dx
        call ReplicateByte
        call WriteLocation
        pop dx
        pop ax
        ret

; LoadLocationData: the next location's data from the data buffer at SI.
; Out: DX:AX; SI advanced by the bus width.
LoadLocationData:
        xor ax, ax
        xor dx, dx
        cmp word [width], 2
        jb .byte
        je .word
        mov ax, [si]
        mov dx, [si + 2]
        add si, 4
        ret
.word:
        mov ax, [si]
        add si, 2
        ret
.byte:
        mov al, [si]
        inc si
        ret

; IsAllOnes: ZF set when DX:AX reads erased (all ones) in the bus width.
IsAllOnes:
        push ax
        push dx
        push bx
        push cx
        mov bx, ax
        mov cx, dx
        mov al, 0xFF
        call ReplicateByte
        cmp bx, ax
        jne .done
        cmp cx, dx
.done:
        pop cx
        pop bx
        pop dx
        pop ax
        ret

; Delay: CX iterations of a decrement loop (CX > 0).
Delay:
        push cx
.loop:
        dec cx
        jnz .loop
        pop cx
        ret

; ServiceSequence: writes 0xAA, 0x55 to the service port.
ServiceSequence:
        push ax
        push dx
        mov dx, SERVICE_PORT
        mov al, 0xAA
        out dx, al
        mov al, 0x55
        out dx, al
        pop dx
        pop ax
        ret

; PulseControlLine: pulses bit 1 of the control port: read, set, clear.
PulseControlLine:
        push ax
        in al, CONTROL_PORT
        or al, CONTROL_PULSE
        out CONTROL_PORT, al
        and al, ~CONTROL_PULSE & 0xFF
        out CONTROL_PORT, al
        pop ax
        ret

;-- Walking memory in 0x8000-byte chunks.  The address is renormalised for
; every chunk so that ranges longer than a segment are walked linearly.

; FirstChunk: starts a walk over [count] bytes from [startAddress].
FirstChunk:
        push ax
        mov ax, [startAddress]
        mov [walkAddr], ax
        mov ax, [startAddress + 2]
        mov [walkAddr + 2], ax
        mov ax, [count]
        mov [walkLeft], ax
        mov ax, [count + 2]
        mov [walkLeft + 2], ax
        pop ax
        ret

; NextChunk: the next chunk of the walk: ES:DI its first byte, CX its length.
; CF set when the walk is done.
NextChunk:
        push ax
        push dx
        mov ax, [walkLeft]
        or ax, [walkLeft + 2]
        jz .done
        mov ax, [walkAddr]
        mov dx, [walkAddr + 2]
        call LinearToSegOff
        add word [walkAddr], 0x8000
        adc word [walkAddr + 2], 0
        mov cx, 0x8000
        cmp word [walkLeft + 2], 0
        jne .full
        cmp word [walkLeft], cx
        jae .full
        mov cx, [walkLeft]
.full:
        sub [walkLeft], cx
        sbb word [walkLeft + 2], 0
        clc
        jmp .out
.done:
        stc
.out:
        pop dx
        pop ax
        ret

; ForEachMemoryByte: calls BX with AL = each of the [count] bytes from
; [startAddress].  The routine at BX must preserve all registers.
ForEachMemoryByte:
        push ax
        push cx
        push di
        call FirstChunk
.chunk:
        call NextChunk
        jc .done
.byte:
        mov al, [es:di]
        inc di
        call bx
        loop .byte
        jmp .chunk
.done:
        call RestoreDataSegment
        pop di
        pop cx
        pop ax
        ret

; SumMemory: [memSum] = the 32-bit sum of the [count] bytes from
; [startAddress].  The sum is kept in BP:BX while walking.
SumMemory:
        push ax
        push bx
        push cx
        push di
        push bp
        xor bx, bx
        xor bp, bp
        xor ah, ah
        call FirstChunk
.chunk:
        call NextChunk
        jc .done
.byte:
        mov al, [es:di]
        inc di
        add bx, ax
        adc bp, 0
        loop .byte
        jmp .chunk
.done:
        mov [memSum], bx
        mov [memSum + 2], bp
        call RestoreDataSegment
        pop bp
        pop di
        pop cx
        pop bx
        pop ax
        ret

; ---------------------------------------------------------------------------
; Family A: devices with a programming-voltage command set (command written
; to the location itself, pulse-timed program and erase, verify commands).

; FamilyAIdentify: reads the identifier codes at the command base address.
FamilyAIdentify:
        push ax
        push dx
        push di
        mov ax, [baseAddress]
        mov dx, [baseAddress + 2]
        call LinearToSegOff
        mov al, 0x90                ; read identifier
        call WriteCommandHere
        call ReadLocation
        mov [manufCode], ax
        mov [manufCode + 2], dx
        push di
        add di, [width]
        call ReadLocation
        pop di
        mov [deviceCode], ax
        mov [deviceCode + 2], dx
        mov al, 0x00                ; read array
        call WriteCommandHere
        push cx
        mov cx, DELAY_SETTLE
        call Delay
        pop cx
        call RestoreDataSegment
        pop di
        pop dx
        pop ax
        ret

; FamilyAProgramLocation: programs DX:AX into the location at ES:DI, pulse by
; pulse until it verifies.  CF set after FA_PROGRAM_PULSES failing pulses.
FamilyAProgramLocation:
        push ax
        push bx
        push cx
        push dx
        push si
        mov bx, ax
        mov si, dx
        mov cx, FA_PROGRAM_PULSES
.pulse:
        push cx
        call PulseControlLine
        mov al, 0x40                ; program setup
        call WriteCommandHere
        mov ax, bx
        mov dx, si
        call WriteLocation
        mov cx, DELAY_PROGRAM
        call Delay
        mov al, 0xC0                ; program verify
        call WriteCommandHere
        mov cx, DELAY_SETTLE
        call Delay
        call ReadLocation
        pop cx
        cmp ax, bx
        jne .retry
        cmp dx, si
        jne .retry
        clc
        jmp .done
.retry:
        loop .pulse
        stc
.done:
        pop si
        pop dx
        pop cx
        pop bx
        pop ax
        ret

; FamilyAFinish: stores the result (CF) and the stop address, then returns the
; device to read mode at the operation's first address DX:AX.
FamilyAFinish:
        push cx
        call RecordResult
        call LinearToSegOff
        mov al, 0x00                ; read array
        call WriteCommandHere
        mov cx, DELAY_SETTLE
        call Delay
        call RestoreDataSegment
        pop cx
        ret

; FamilyAProgram: programs the data buffer at [progAddress].
FamilyAProgram:
        push ax
        push cx
        push dx
        push si
        push di
        mov ax, [count]
        xor dx, dx
        call LocationCount
        mov cx, ax
        mov ax, [progAddress]
        mov dx, [progAddress + 2]
        call StartAt
        mov si, [bufPtr]
.location:
        jcxz .programmed
        call LoadLocationData
        call FamilyAProgramLocation
        jc .done
        call NextLocation
        dec cx
        jmp .location
.programmed:
        clc
.done:
        mov ax, [progAddress]
        mov dx, [progAddress + 2]
        call FamilyAFinish
        pop di
        pop si
        pop dx
        pop cx
        pop ax
        ret

; FamilyAErase: erases [count] bytes from [startAddress]: every location is
; first programmed to 0x00, then erase pulses are given until every location
; verifies erased, within one pulse budget for the whole range.
FamilyAErase:
        push ax
        push bx
        push cx
        push dx
        push di
        mov ax, [count]
        mov dx, [count + 2]
        call LocationCount
        mov [eraseLocations], ax
        mov [eraseLocations + 2], dx
        ; Program everything to zero first, so that the erase starts evenly.
        mov [walkLeft], ax
        mov [walkLeft + 2], dx
        mov ax, [startAddress]
        mov dx, [startAddress + 2]
        call StartAt
.zero:
        call TakeOne
        jc .zeroed
        xor ax, ax
        xor dx, dx
        call FamilyAProgramLocation
        jc .done
        call NextLocation
        jmp .zero
.zeroed:
        ; Erase pulses with verify, location by location.
        mov ax, [eraseLocations]
        mov dx, [eraseLocations + 2]
        mov [walkLeft], ax
        mov [walkLeft + 2], dx
        or ax, dx
        jz .done                    ; nothing to erase (CF is clear)
        mov ax, [startAddress]
        mov dx, [startAddress + 2]
        call StartAt
        mov bx, FA_ERASE_PULSE_BUDGET
.pulse:
        call PulseControlLine
        mov al, 0x20                ; erase setup, erase
        call WriteCommandHere
        call WriteCommandHere
        mov cx, DELAY_ERASE
        call Delay
.verify:
        mov al, 0xA0                ; erase verify
        call WriteCommandHere
        mov cx, DELAY_SETTLE
        call Delay
        call ReadLocation
        call IsAllOnes
        jne .not_erased
        call TakeOne
        call NextLocation
        call NothingLeft
        jz .erased
        call PulseControlLine
        jmp .verify
.not_erased:
        dec bx
        jnz .pulse
        stc
        jmp .done
.erased:
        clc
.done:
        mov ax, [startAddress]
        mov dx, [startAddress + 2]
        call FamilyAFinish
        pop di
        pop dx
        pop cx
        pop bx
        pop ax
        ret

; TakeOne: counts one (location or sector) off [walkLeft].  CF set, and
; nothing counted, when none is left.
TakeOne:
        push ax
        mov ax, [walkLeft]
        or ax, [walkLeft + 2]
        jnz .take
        pop ax
        stc
        ret
.take:
        sub word [walkLeft], 1
        sbb word [walkLeft + 2], 0
        pop ax
        clc
        ret
; NothingLeft: ZF set when [walkLeft] has been counted down to zero.
NothingLeft:
        push ax
        mov ax, [walkLeft]
        or ax, [walkLeft + 2]
        pop ax
        ret

; ---------------------------------------------------------------------------
; Family B: single-supply devices with unlock cycles and embedded program and
; erase algorithms, reporting progress by data polling.

; CommandCycle: writes the command byte AL (in every lane) at the command base
; address plus the device address CX scaled by the bus width.
CommandCycle:
        push ax
        push cx
        push dx
        push di
        push es
        push ax
        mov ax, cx
        xor dx, dx
        mov cl, [widthShift]
        xor ch, ch
        jcxz .scaled
.scale:
        shl ax, 1
        rcl dx, 1
        loop .scale
.scaled:
        add ax, [baseAddress]
        adc dx, [baseAddress + 2]
        call LinearToSegOff
        pop ax
        call WriteCommandHere
        pop es
        pop di
        pop dx
        pop cx
        pop ax
        ret

; UnlockCycles: the two unlock cycles that precede every command.
UnlockCycles:
        push ax
        push cx
        mov al, 0xAA
        mov cx, 0x5555
        call CommandCycle
        mov al, 0x55
        mov cx, 0x2AAA
        call CommandCycle
        pop cx
        pop ax
        ret

; FamilyBCommand: unlock cycles, then the command AL.
FamilyBCommand:
        push cx
        call UnlockCycles
        mov cx, 0x5555
        call CommandCycle
        pop cx
        ret

; AwaitEmbeddedAlgorithm: data polling at ES:DI until bit 7 of every lane
; matches the expected data DX:AX.  A lane that still differs while the
; device reports an exceeded time limit (bit 5) is read once more; if bit 7
; still differs then, the operation failed: CF set.
AwaitEmbeddedAlgorithm:
        push ax
        push dx
        mov [pollExpect], ax
        mov [pollExpect + 2], dx
.poll:
        call ReadLocation
        call CompareBit7Lanes
        jz .ok
        cmp byte [pollTimeLimit], 0
        je .poll
        call ReadLocation
        call CompareBit7Lanes
        jz .ok
        stc
        jmp .done
.ok:
        clc
.done:
        pop dx
        pop ax
        ret

; CompareBit7Lanes: compares bit 7 of each lane of DX:AX with [pollExpect].
; ZF set when all match.  [pollTimeLimit] is set when a lane that differs
; shows bit 5 (exceeded time limit).
CompareBit7Lanes:
        push ax
        push bx
        push cx
        push si
        mov [pollRead], ax
        mov [pollRead + 2], dx
        mov byte [pollTimeLimit], 0
        mov cx, [width]
        xor si, si
        xor bl, bl                  ; lanes that differ
.lane:
        mov al, [pollRead + si]
        mov ah, al
        xor al, [pollExpect + si]
        test al, 0x80
        jz .next
        inc bl
        test ah, 0x20
        jz .next
        mov byte [pollTimeLimit], 1
.next:
        inc si
        loop .lane
        test bl, bl
        pop si
        pop cx
        pop bx
        pop ax
        ret

; FamilyBFinish: stores the result (CF) and the stop address, resets the
; device to read mode and services the board.
FamilyBFinish:
        push ax
        call RecordResult
        mov al, 0xF0                ; reset
        call FamilyBCommand
        call ServiceSequence
        call RestoreDataSegment
        pop ax
        ret

; FamilyBIdentify: autoselect codes at the command base address.
FamilyBIdentify:
        push ax
        push dx
        push di
        mov al, 0x90                ; autoselect
        call FamilyBCommand
        mov ax, [baseAddress]
        mov dx, [baseAddress + 2]
        call LinearToSegOff
        call ReadLocation
        mov [manufCode], ax
        mov [manufCode + 2], dx
        add di, [width]
        call ReadLocation
        mov [deviceCode], ax
        mov [deviceCode + 2], dx
        mov al, 0xF0                ; reset
        call FamilyBCommand
        call RestoreDataSegment
        pop di
        pop dx
        pop ax
        ret

; FamilyBProgram: programs the data buffer at [progAddress].
FamilyBProgram:
        push ax
        push bx
        push cx
        push dx
        push si
        push di
        mov ax, [count]
        xor dx, dx
        call LocationCount
        mov cx, ax
        mov ax, [progAddress]
        mov dx, [progAddress + 2]
        call StartAt
        mov si, [bufPtr]
        xor bx, bx                  ; locations since the last service sequence
.location:
        jcxz .programmed
        mov al, 0xA0                ; program
        call FamilyBCommand
        call LoadLocationData
        call WriteLocation
        call AwaitEmbeddedAlgorithm
        jc .done
        call NextLocation
        inc bx
        cmp bx, FB_SERVICE_EVERY
        jb .no_service
        call ServiceSequence
        xor bx, bx
.no_service:
        dec cx
        jmp .location
.programmed:
        clc
.done:
        call FamilyBFinish
        pop di
        pop si
        pop dx
        pop cx
        pop bx
        pop ax
        ret

; FamilyBErase: erases the whole sectors within [count] bytes from
; [startAddress], then verifies every location of the range.
FamilyBErase:
        push ax
        push bx
        push cx
        push dx
        push di
        call ServiceSequence
        mov ax, [count]
        mov dx, [count + 2]
        call LocationCount
        mov [eraseLocations], ax
        mov [eraseLocations + 2], dx
        mov cx, FB_SECTOR_SHIFT
.sectors:
        shr dx, 1
        rcr ax, 1
        loop .sectors
        mov [walkLeft], ax          ; sectors to erase
        mov [walkLeft + 2], dx
        mov al, 0x80                ; erase setup
        call FamilyBCommand
        call UnlockCycles
        ; Sector erase commands, one per sector, starting at the start address.
        mov ax, [startAddress]
        mov dx, [startAddress + 2]
        mov [walkAddr], ax
        mov [walkAddr + 2], dx
        xor bx, bx                  ; sectors written
.sector:
        call TakeOne
        jc .sectors_written
        mov ax, [walkAddr]
        mov dx, [walkAddr + 2]
        call LinearToSegOff
        mov al, 0x30                ; sector erase
        call WriteCommandHere
        mov ax, [walkAddr]
        mov [lastSector], ax
        mov [lastSector + 2], dx
        mov ax, FB_SECTOR_LOCATIONS
        xor dx, dx
        mov cl, [widthShift]
        xor ch, ch
        jcxz .step
.scale:
        shl ax, 1
        rcl dx, 1
        loop .scale
.step:
        add [walkAddr], ax
        adc [walkAddr + 2], dx
        inc bx
        jmp .sector
.sectors_written:
        test bx, bx
        jz .reset                   ; no sector was started: nothing to wait for
        ; Wait for the embedded erase at the last sector written.
        mov ax, [lastSector]
        mov dx, [lastSector + 2]
        call LinearToSegOff
        mov al, 0xFF
        call ReplicateByte
        call AwaitEmbeddedAlgorithm  ; a failure shows in the verification below
.reset:
        mov al, 0xF0                ; reset
        call FamilyBCommand
        call VerifyErased
        call RecordResult
        call ServiceSequence
        call RestoreDataSegment
        pop di
        pop dx
        pop cx
        pop bx
        pop ax
        ret

; VerifyErased: checks that the [eraseLocations] locations from
; [startAddress] read erased.  CF set at the first that does not; [curAddr]
; is that location, or the one behind the range.  The loop keeps everything
; in registers: it runs over whole sectors.
VerifyErased:
        push ax
        push bx
        push cx
        push dx
        push si
        push di
        push bp
        mov al, 0xFF
        call ReplicateByte
        mov bx, ax                  ; BP:BX = erased value
        mov bp, dx
        mov si, [eraseLocations]    ; CX:SI = locations left
        mov cx, [eraseLocations + 2]
        mov ax, [startAddress]
        mov dx, [startAddress + 2]
        call LinearToSegOff
        mov dx, [width]
.location:
        mov ax, si
        or ax, cx
        jz .verified
        cmp dx, 2
        jb .byte
        je .word
        cmp [es:di + 2], bp
        jne .failed
.word:
        cmp [es:di], bx
        jne .failed
        jmp .next
.byte:
        cmp [es:di], bl
        jne .failed
.next:
        add di, dx
        jnc .same_segment
        mov ax, es
        add ax, 0x1000
        mov es, ax
.same_segment:
        sub si, 1
        sbb cx, 0
        jmp .location
.verified:
        clc
        jmp .done
.failed:
        stc
.done:
        ; [curAddr] = start + (locations verified) * width
        pushf
        mov ax, [eraseLocations]
        mov dx, [eraseLocations + 2]
        sub ax, si
        sbb dx, cx
        mov cl, [widthShift]
        xor ch, ch
        jcxz .scaled
.scale:
        shl ax, 1
        rcl dx, 1
        loop .scale
.scaled:
        add ax, [startAddress]
        adc dx, [startAddress + 2]
        mov [curAddr], ax
        mov [curAddr + 2], dx
        popf
        pop bp
        pop di
        pop si
        pop dx
        pop cx
        pop bx
        pop ax
        ret

; ---------------------------------------------------------------------------
; Command table: code, parameter descriptor, action.

COMMAND_ENTRY_SIZE equ 5

commandTable:
        db 0x21
        dw identifyParams, IdentifyFlash
        db 0x22
        dw noParams, ProgPowerOn
        db 0x23
        dw noParams, ProgPowerOff
        db 0x24
        dw readParams, ReadMemory
        db 0x25
        dw programParams, ProgramBlock
        db 0x26
        dw checksumParams, ChecksumMemory
        db 0x27
        dw eraseParams, EraseFlash
        db 0x49
        dw noParams, ProgramEnd
COMMAND_COUNT equ ($ - commandTable) / COMMAND_ENTRY_SIZE

; Parameter descriptors: size in bytes and the register that takes the value,
; ending with a zero size.
noParams:
        db 0
identifyParams:
        db 1
        dw widthIndex
        db 1
        dw flashType
        db 4
        dw baseAddress
        db 0
readParams:
        db 1
        dw widthIndex
        db 4
        dw startAddress
        db 4
        dw count
        db 0
programParams:
        db 1
        dw widthIndex
        db 1
        dw flashType
        db 4
        dw progAddress
        db 2
        dw count
        db PARAM_DATA
        dw dataBuffer
        db 0
checksumParams:
        db 1
        dw widthIndex
        db 4
        dw startAddress
        db 4
        dw count
        db 0
eraseParams:
        db 1
        dw widthIndex
        db 1
        dw flashType
        db 4
        dw startAddress
        db 4
        dw count
        db 0
